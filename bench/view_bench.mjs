// The live view's costs (a benchmark, not a test). `kestrav link --serve`
// reads the simulator at 200 frames a second over a pty; one page is open in
// Debian's headless Chromium.
//
//   node bench/view_bench.mjs [build/linux/bin/kestrav] [MINUTES]
//
// Prints: the page's frame rate (median over seconds) and the p95 of script
// time per animation frame; the latency from the simulator writing a frame's
// last byte to that frame's values in the page's DOM (median, p95); the
// tool's CPU with the page against the same run without --serve; and the
// page's JS heap (after a forced collection) at 1 minute and at the end
// (MINUTES, default 10).
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

import { launchBrowser } from '../tests/web/browser.mjs';

const tool = process.argv[2] || 'build/linux/bin/kestrav';
const minutes = Number(process.argv[3] || 10);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrav-view-'));
const median = (v) => [...v].sort((a, b) => a - b)[Math.floor(v.length / 2)];
const pct = (v, p) => [...v].sort((a, b) => a - b)[Math.min(v.length - 1, Math.floor(p / 100 * v.length))];

function firstLine(stream) {
  return new Promise((resolve) => {
    const rl = readline.createInterface({ input: stream });
    rl.once('line', (line) => resolve(line));
  });
}

// CLOCK_MONOTONIC (the simulator's truth) to epoch milliseconds (the page).
function monotonicOffset() {
  let best = Infinity;
  for (let k = 0; k < 50; k++) {
    const a = Date.now(), m = Number(process.hrtime.bigint()) / 1e6, b = Date.now();
    if (b - a < best) { best = b - a; var offset = (a + b) / 2 - m; }
  }
  return offset;
}

function cpuSeconds(pid) {
  const f = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(f[11]) + Number(f[12])) / 100; // utime + stime, in ticks
}

async function startRun(serve, name) {
  const truth = path.join(tmp, name + '.jsonl');
  const sim = spawn(tool, ['simulate', '--pty', '--rate', '200', '--truth', truth],
                    { stdio: ['ignore', 'pipe', 'ignore'] });
  const pty = await firstLine(sim.stdout);
  const args = ['link', pty, '--format', 'none'].concat(serve ? ['--serve', '127.0.0.1:0'] : []);
  const link = spawn(tool, args, { stdio: ['ignore', 'ignore', 'pipe'] });
  const url = serve ? (await firstLine(link.stderr)).replace(/^view: /, '') : null;
  return { sim, link, truth, url };
}

function stop(run) { run.link.kill('SIGINT'); setTimeout(() => run.sim.kill(), 3000); }

const browser = await launchBrowser();
const run = await startRun(true, 'served');
const page = await browser.newPage();
await page.setViewport({ width: 1280, height: 800 });
// Script time per animation frame: every event handler and every frame
// callback, summed between frames.
await page.evaluateOnNewDocument(() => {
  const m = window.__bench = { frames: [], script: 0, shown: [] };
  const timed = (f) => function (...a) {
    const t = performance.now();
    try { return f.apply(this, a); } finally { m.script += performance.now() - t; }
  };
  const add = EventTarget.prototype.addEventListener;
  EventTarget.prototype.addEventListener = function (type, f, o) {
    return add.call(this, type, typeof f === 'function' ? timed(f) : f, o);
  };
  const raf = window.requestAnimationFrame.bind(window);
  window.requestAnimationFrame = (f) => raf((ts) => {
    const t = performance.now();
    try { f(ts); } finally {
      m.script += performance.now() - t;
      m.frames.push([ts, m.script]);
      if (m.frames.length > 4000) m.frames.splice(0, 2000);
      m.script = 0;
      const cell = document.querySelector('#latest td[data-k="n"]');
      const n = cell && Number(cell.textContent);
      if (n && n !== m.last) {
        m.last = n;
        m.shown.push([n, performance.timeOrigin + performance.now()]);
        if (m.shown.length > 4000) m.shown.splice(0, 2000);
      }
    }
  });
});
await page.goto(run.url);
await sleep(3000);
const cdp = await page.createCDPSession();
const heap = async () => {
  await cdp.send('HeapProfiler.collectGarbage');
  return (await page.metrics()).JSHeapUsedSize;
};

// 20 s of measurement.
await page.evaluate(() => { window.__bench.frames = []; window.__bench.shown = []; });
const cpu0 = cpuSeconds(run.link.pid);
await sleep(20000);
const cpuServed = (cpuSeconds(run.link.pid) - cpu0) / 20;
const m = await page.evaluate(() => window.__bench);
const frames = m.frames;
const perSecond = new Map();
for (const [ts] of frames) perSecond.set(Math.floor(ts / 1000), (perSecond.get(Math.floor(ts / 1000)) || 0) + 1);
const fps = [...perSecond.values()].slice(1, -1);
const script = frames.map(([, s]) => s);
const offset = monotonicOffset();
const sentAt = new Map(fs.readFileSync(run.truth, 'utf8').trim().split('\n')
  .map((l) => JSON.parse(l)).filter((r) => r.frame).map((r) => [r.frame, r.sent_at]));
const latency = m.shown.filter(([n]) => sentAt.has(n))
  .map(([n, at]) => at - (sentAt.get(n) * 1000 + offset));

const heap1 = await (async () => { await sleep(Math.max(0, 60000 - 23000)); return heap(); })();
await sleep(Math.max(0, minutes * 60000 - 60000));
const heapEnd = await heap();
await browser.close();
stop(run);

// The same run without --serve.
const plain = await startRun(false, 'plain');
await sleep(3000);
const c0 = cpuSeconds(plain.link.pid);
await sleep(20000);
const cpuPlain = (cpuSeconds(plain.link.pid) - c0) / 20;
stop(plain);

console.log(`page: ${median(fps)} frames/s median, script p95 ${pct(script, 95).toFixed(2)} ms per animation frame`);
console.log(`latency, frame's last byte to the DOM: median ${median(latency).toFixed(1)} ms, p95 ${pct(latency, 95).toFixed(1)} ms (${latency.length} frames shown)`);
console.log(`tool CPU: ${(100 * cpuServed).toFixed(1)} % with --serve and one page, ${(100 * cpuPlain).toFixed(1)} % without`);
console.log(`page JS heap: ${(heap1 / 1e6).toFixed(2)} MB at 1 min, ${(heapEnd / 1e6).toFixed(2)} MB at ${minutes} min`);
fs.rmSync(tmp, { recursive: true, force: true });
setTimeout(() => process.exit(0), 3500);
