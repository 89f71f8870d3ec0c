// Drives the kestrav live view in Debian's headless Chromium (never a
// browser of puppeteer's own) and prints what it saw as one JSON object.
// The tool tests start the processes, call this, and check the results.
//
//   node drive.mjs link URL [SHOT]    latest values, canvases, pause, CSV
//   node drive.mjs sbus URL [SHOT]    drags slider 3 to its top
//   node drive.mjs shot URL SHOT      waits for records, takes a screenshot
//   node drive.mjs status URL         the status line, once it is settled
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { launchBrowser } from './browser.mjs';

const [scenario, url, shot] = process.argv.slice(2);
const browser = await launchBrowser();
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const out = {};
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 800 });
  const problems = [];
  page.on('pageerror', (e) => problems.push(String(e)));
  await page.goto(url, { waitUntil: 'load' });
  if (scenario === 'status') {
    await page.waitForFunction(() => !['connecting', 'disconnected'].includes(
      document.getElementById('status').textContent), { timeout: 10000 });
    out.status = await page.$eval('#status', (e) => e.textContent);
  } else {
    await page.waitForFunction(() => window.kestravView.count >= 20,
                               { timeout: 10000 });
    await sleep(300);
    // A canvas that drew something has pixels that are not transparent.
    out.drawn = await page.$$eval('.chart canvas', (canvases) => canvases.map((c) => {
      const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
      let ink = 0;
      for (let i = 3; i < d.length; i += 4) if (d[i] !== 0) ink++;
      return ink;
    }));

    if (scenario === 'link') {
      await page.click('#pause');
      await sleep(100);
      const table = () => page.$$eval('#latest td', (cells) =>
        Object.fromEntries(cells.map((c) => [c.dataset.k, c.textContent])));
      out.table = await table();
      const shown = () => page.$eval('#count', (e) => Number(e.textContent));
      const buffered = () => page.evaluate(() => window.kestravView.count);
      out.paused = [await shown(), await buffered()];
      await sleep(1000);
      out.paused.push(await shown(), await buffered());
      out.tableAfter = await table();
      await page.click('#pause');
      // The download, as a user gets it.
      const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrav-csv-'));
      const cdp = await page.createCDPSession();
      await cdp.send('Browser.setDownloadBehavior',
                     { behavior: 'allow', downloadPath: dir });
      await page.click('#csv');
      let file = null;
      for (let k = 0; k < 100 && !file; k++) {
        await sleep(50);
        file = fs.readdirSync(dir).find((f) => f.endsWith('.csv'));
      }
      out.csv = file ? fs.readFileSync(path.join(dir, file), 'utf8') : null;
      fs.rmSync(dir, { recursive: true, force: true });
    }

    if (scenario === 'sbus') {
      // A real drag of the thumb to the slider's top end.
      const box = await (await page.$('#slider3')).boundingBox();
      const value = await page.$eval('#slider3', (e) => Number(e.value));
      const y = box.y + box.height / 2;
      await page.mouse.move(box.x + 8 + (box.width - 16) * value / 2047, y);
      await page.mouse.down();
      for (let k = 1; k <= 10; k++) {
        await page.mouse.move(box.x + box.width * (0.5 + k / 10), y);
      }
      await page.mouse.up();
      out.draggedAt = Date.now() / 1000;
      out.slider = await page.$eval('#slider3', (e) => Number(e.value));
      await page.waitForFunction(() => {
        const u = window.kestravView.charts[0].plot;
        const ch3 = u.data[4];
        return ch3.length > 0 && ch3[ch3.length - 1] === 2047;
      }, { timeout: 5000 });
      out.chartAt = Date.now() / 1000;
    }
    if (shot) {
      await sleep(500);
      await page.screenshot({ path: shot });
    }
  }
  out.problems = problems;
} finally {
  await browser.close();
}
process.stdout.write(JSON.stringify(out) + '\n');
