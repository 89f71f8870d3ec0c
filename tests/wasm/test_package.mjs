// The npm package as a user gets it: the tarball installed into a scratch
// project with no registry, imported by its name, and its interface: every
// frame of a chunk, streams kept apart, reset, refused values, the SBUS
// decoder against the encoder.
//
//   node test_package.mjs kestrav-VERSION.tgz examples/tcp_link.mjs
import assert from 'node:assert/strict';
import { execFile, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrav-js-'));
fs.writeFileSync(path.join(dir, 'package.json'), '{"name": "scratch", "private": true}');
execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund', '--loglevel=error',
  path.resolve(process.argv[2])], { cwd: dir, stdio: 'inherit' });
const entry = path.join(dir, 'node_modules', 'kestrav', 'index.js');
const { load, decodeSbus } = await import(pathToFileURL(entry));
assert.ok(fs.existsSync(path.join(dir, 'node_modules', 'kestrav', 'index.d.ts')));
const k = await load();

const frame = (type, first, words = [15, 32, 47][type]) => {
  const p = [type];
  for (let w = 0; w < words; w++) p.push((first + w) & 0xff, (first + w) >> 8);
  return [0xfa, 0xa5, p.length & 0xff, p.length >> 8, ...p, 0x5f];
};
const run = (start, n) => Array.from({ length: n }, (_, w) => start + w);

// One chunk of 30 frames (and noise between them) gives all 30, each with
// the blocks as they were after it.
const frames = Array.from({ length: 30 }, (_, n) => frame(n % 3, 100 * n));
const chunk = new Uint8Array(frames.flatMap((f, n) => (n % 4 ? f : [0x00, 0xfa, 0x11, ...f])));
const got = k.linkReader().feed(chunk);
let b15 = new Array(15).fill(0), b32 = new Array(32).fill(0);
const want = frames.map((_, n) => {
  if (n % 3 !== 1) b15 = run(100 * n, 15);
  if (n % 3 === 1) b32 = run(100 * n, 32);
  if (n % 3 === 2) b32 = run(100 * n + 15, 32);
  return { block15: b15, block32: b32 };
});
assert.deepEqual(got, want);

// Whole chunks give the frames that byte-by-byte feeding gives, on random
// streams of frames, wrapped frames, wrong end bytes and loose 0x5F bytes.
let seed = 11;
const rand = (n) => { seed = (seed * 1103515245 + 12345) % 2147483648; return Math.floor(seed / 65536) % n; };
for (let round = 0; round < 20; round++) {
  const stream = [];
  while (stream.length < 20000) {
    const len = [31, 65, 95, 0, rand(120), rand(300)][rand(6)];
    const payload = Array.from({ length: len }, (_, j) => (j === 0 ? rand(3) : [0x5f, 0xfa, rand(256)][rand(3)]));
    const f = [0xfa, [0xa5, 0xa5, 0x11, 0xe5][rand(4)], len & 255, len >> 8, ...payload, rand(5) ? 0x5f : rand(256)];
    stream.push(...(rand(6) ? f : [0xfa, 0x11, (f.length + 2) & 255, (f.length + 2) >> 8, 0, ...f, 0, 0x5f]), ...(rand(3) ? [] : [0x5f, 0xfa]));
  }
  const whole = k.linkReader(), single = k.linkReader();
  const bytewise = stream.flatMap((b) => single.feed(new Uint8Array([b])));
  const cuts = [0, rand(stream.length), stream.length].sort((x, y) => x - y);
  const chunked = [whole.feed(new Uint8Array(stream.slice(0, cuts[1]))),
    whole.feed(new Uint8Array(stream.slice(cuts[1])))].flat();
  assert.deepEqual(chunked, bytewise, 'round ' + round);
  assert.ok(bytewise.length > 50);
}

// Two readers fed interleaved halves keep their streams apart.
const a = k.linkReader(), b = k.linkReader();
const fa = frame(0, 1000), fb = frame(0, 2000);
assert.deepEqual(a.feed(new Uint8Array(fa.slice(0, 20))), []);
assert.deepEqual(b.feed(new Uint8Array(fb.slice(0, 20))), []);
assert.deepEqual(a.feed(new Uint8Array(fa.slice(20))).map((f) => f.block15), [run(1000, 15)]);
assert.deepEqual(b.feed(new Uint8Array(fb.slice(20))).map((f) => f.block15), [run(2000, 15)]);

// reset drops a carried frame, and the blocks are zeros again.
a.feed(new Uint8Array(fa.slice(0, 20)));
a.reset();
assert.deepEqual(a.feed(new Uint8Array(fa.slice(20))), []);
assert.deepEqual(a.feed(new Uint8Array(frame(1, 7))),
  [{ block15: new Array(15).fill(0), block32: run(7, 32) }]);

// Command frames.
assert.deepEqual([...k.requestFrame()], [0xfa, 0xe5, 2, 0, 1, 0, 0x5f]);
assert.deepEqual([...k.requestFrame(3, 4)], [0xfa, 0xe5, 2, 0, 3, 4, 0x5f]);
assert.deepEqual([...k.stopFrame()], [0xfa, 0xe4, 0, 0, 0x5f]);
assert.throws(() => k.requestFrame(256), RangeError);

// SBUS: the decoder inverts the encoder; each SBUS2 encoder its own cycle.
const e1 = k.sbusEncoder(), e2 = k.sbusEncoder({ v2: true }), e3 = k.sbusEncoder({ v2: true });
for (let n = 0; n < 200; n++) {
  const ch = Array.from({ length: 16 }, (_, c) => (n * 37 + c * 131) % 2048);
  const flags = { ch17: !!(n & 1), ch18: !!(n & 2), frameLost: !!(n & 4), failsafe: !!(n & 8) };
  const f = e1.frame(ch, flags);
  assert.equal(f.length, 25);
  assert.deepEqual(decodeSbus(f), { channels: ch, ...flags, end: 0 });
}
assert.deepEqual([0, 1, 2, 3, 4].map(() => e2.frame(new Array(16).fill(992))[24]),
  [0x04, 0x14, 0x24, 0x34, 0x04]);
assert.equal(e3.frame(new Array(16).fill(992))[24], 0x04);
assert.deepEqual(k.decodeSbus(e2.frame(new Array(16).fill(2047))).channels, new Array(16).fill(2047));

// Refused values: ranges with RangeError, non-integers with TypeError.
const sixteen = (v) => new Array(16).fill(992).map((x, c) => (c === 5 ? v : x));
for (const v of [-1, 2048, 65636]) assert.throws(() => e1.frame(sixteen(v)), RangeError);
for (const v of [1.5, '7', true, null, NaN]) assert.throws(() => e1.frame(sixteen(v)), TypeError);
assert.throws(() => e1.frame(new Array(15).fill(0)), RangeError);
assert.throws(() => k.convertStd(new Array(16).fill(1201)), RangeError);
assert.deepEqual(k.convertStd(new Array(16).fill(1200)), new Array(16).fill(2047));
assert.throws(() => decodeSbus(new Uint8Array(24)), RangeError);

// HID: eleven values, or null for a report the library refuses.
assert.deepEqual(k.parseHid(new Uint8Array(17).fill(0xff)),
  [0xffff, 0xffff, 0xffff, 0xfff, 0xfff, 0xfff, 0xfff, 0xfff, 0xf, 0xffff, 0xff]);
assert.equal(k.parseHid(new Uint8Array(18)), null);

// The module from its bytes too, as a page that fetched it would give it.
const bytes = fs.readFileSync(path.join(dir, 'node_modules', 'kestrav', 'Kestrav.wasm'));
assert.deepEqual([...(await load(bytes)).stopFrame()], [0xfa, 0xe4, 0, 0, 0x5f]);
// The node example against a device on TCP: every frame as a jsonl record,
// then the stop frame once --count is reached.
fs.copyFileSync(process.argv[3], path.join(dir, 'tcp_link.mjs'));
const received = [];
const device = net.createServer((socket) => socket.on('data', (data) => {
  received.push(...data);
  if (received.length === 7) socket.write(new Uint8Array(frames.slice(0, 8).flat()));
}));
await new Promise((resolve) => device.listen(0, '127.0.0.1', resolve));
const out = await new Promise((resolve, reject) => execFile('node',
  ['tcp_link.mjs', 'tcp:127.0.0.1:' + device.address().port, '--count', '5'],
  { cwd: dir, timeout: 10000 }, (err, stdout) => (err ? reject(err) : resolve(stdout))));
device.close();
const records = out.trim().split('\n').map((line) => JSON.parse(line));
assert.deepEqual(records.map((r) => [r.n, r.block15, r.block32]),
  want.slice(0, 5).map((w, n) => [n + 1, w.block15, w.block32]));
assert.match(out.split('\n')[0], /^\{"t": \d+\.\d{6}, "n": 1, "block15": \[\d+, /);
assert.deepEqual(received, [...k.requestFrame(), ...k.stopFrame()]);
fs.rmSync(dir, { recursive: true, force: true });
console.log('kestrav package: installed with no registry, every check passed');
