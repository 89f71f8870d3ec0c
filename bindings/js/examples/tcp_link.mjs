// The device behind a TCP serial bridge (or `kestrav simulate --listen`),
// read with the kestrav package: sends the upload request, prints every
// port data frame as `kestrav link --format jsonl` does, and on Ctrl-C (or
// after --count records) sends the stop frame and closes.
//
//   node tcp_link.mjs tcp:HOST:PORT [--count N]
import net from 'node:net';
import { load } from 'kestrav';

const [address, flag, count] = process.argv.slice(2);
const m = /^tcp:(.+):(\d+)$/.exec(address || '');
if (!m || (flag && flag !== '--count')) {
  console.error('usage: node tcp_link.mjs tcp:HOST:PORT [--count N]');
  process.exit(2);
}
const limit = flag ? Number(count) : 0;
const k = await load();
const reader = k.linkReader();
const socket = net.connect(Number(m[2]), m[1].replace(/^\[(.*)\]$/, '$1'));
let n = 0, start = 0, stopping = false;

function stop() {
  if (stopping) return;
  stopping = true;
  socket.end(k.stopFrame()); // the stop frame, then our side closes
}

socket.on('connect', () => {
  start = performance.now();
  socket.write(k.requestFrame());
});
socket.on('data', (bytes) => {
  const t = ((performance.now() - start) / 1000).toFixed(6);
  for (const f of reader.feed(bytes)) {
    if (stopping) return;
    process.stdout.write(`{"t": ${t}, "n": ${++n}, "block15": [${f.block15.join(', ')}], ` +
      `"block32": [${f.block32.join(', ')}]}\n`);
    if (limit && n >= limit) stop();
  }
});
socket.on('error', (e) => {
  console.error(`tcp_link: ${address}: ${e.message}`);
  process.exitCode = 1;
});
socket.on('close', () => process.exit());
process.on('SIGINT', stop);
process.on('SIGTERM', stop);
