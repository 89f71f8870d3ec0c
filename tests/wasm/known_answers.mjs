// Kestrav.wasm under node, called through its raw exports as the C tests
// call the shared object: the module's contract (exactly the seven
// functions and the memory, no import, at most 8 KiB), the known answers
// of the native tests, and the stream reader against a deliberately simple
// model of it on random streams cut into random chunks.
//
//   node known_answers.mjs Kestrav.wasm
import assert from 'node:assert/strict';
import fs from 'node:fs';

const bytes = fs.readFileSync(process.argv[2]);
const module = new WebAssembly.Module(bytes);
const EXPORTS = ['request_upload_port_data', 'stop_upload_port_data',
  'parse_port_data', 'parse_hid_game_controller_device', 'convert_std_sbus_data',
  'encode_sbus_data_v1', 'encode_sbus_data_v2'];
assert.deepEqual(WebAssembly.Module.exports(module).map((e) => e.name).sort(),
  ['memory', ...EXPORTS].sort());
assert.deepEqual(WebAssembly.Module.imports(module), []);
assert.ok(bytes.length <= 8192, bytes.length + ' bytes');

// A fresh instance is a freshly loaded library: its state starts empty.
function library() {
  const { exports: fn } = new WebAssembly.Instance(module, {});
  const base = fn.memory.grow(1) * 65536;
  const mem = new Uint8Array(fn.memory.buffer);
  const put = (at, data) => { mem.set(data, base + at); return base + at; };
  const words = (at, n) => Array.from({ length: n },
    (_, k) => mem[base + at + 2 * k] | (mem[base + at + 2 * k + 1] << 8));
  const putWords = (at, w) => put(at, w.flatMap((v) => [v & 0xff, v >> 8]));
  const get = (at, n) => Array.from(mem.subarray(base + at, base + at + n));
  return { fn, base, put, words, putWords, get };
}

// --- Command frames
const lib = library();
for (const [a0, a1] of [[1, 0], [0, 0], [255, 255], [0x5f, 0xfa]]) {
  lib.fn.request_upload_port_data(lib.base, a0, a1);
  assert.deepEqual(lib.get(0, 7), [0xfa, 0xe5, 0x02, 0x00, a0, a1, 0x5f]);
}
lib.fn.stop_upload_port_data(lib.base);
assert.deepEqual(lib.get(0, 5), [0xfa, 0xe4, 0x00, 0x00, 0x5f]);

// --- HID: the native tests' known reports
const hid = [
  [[1, 2, 3, 4, 5, 6, 0x21, 0x43, 0x65, 0x87, 0xa9, 0xcb, 0xed, 0x0f, 0x0e, 0x0f, 0x10],
    [0x0201, 0x0403, 0x0605, 0x321, 0x654, 0x987, 0xcba, 0xfed, 0x0, 0x0f0e, 0x0010]],
  [new Array(17).fill(0xff),
    [0xffff, 0xffff, 0xffff, 0xfff, 0xfff, 0xfff, 0xfff, 0xfff, 0xf, 0xffff, 0xff]],
  [new Array(17).fill(0), new Array(11).fill(0)],
  [[0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xa0, 0, 0, 0], [0, 0, 0, 0, 0, 0, 0, 0, 0xa, 0, 0]],
];
for (const [report, want] of hid) {
  lib.putWords(100, new Array(11).fill(0xbeef));
  assert.equal(lib.fn.parse_hid_game_controller_device(lib.base + 100, lib.put(0, report), 17), 1);
  assert.deepEqual(lib.words(100, 11), want);
}
for (const len of [0, 16, 18, 255]) {
  lib.putWords(100, new Array(11).fill(0xbeef));
  assert.equal(lib.fn.parse_hid_game_controller_device(lib.base + 100, lib.base, len), 0);
  assert.deepEqual(lib.words(100, 11), new Array(11).fill(0xbeef));
}

// --- Scaling: known answers, then every 16-bit input
const scaleIn = [0, 1, 3, 100, 500, 600, 1000, 1199, 1200, 1201, 2000, 30000, 65535, 1202, 599, 7];
lib.putWords(0, scaleIn);
lib.fn.convert_std_sbus_data(lib.base + 64, lib.base);
assert.deepEqual(lib.words(64, 16),
  [0, 1, 5, 170, 853, 1023, 1706, 2045, 2047, 2047, 2047, 2047, 2047, 2047, 1021, 11]);
for (let first = 0; first < 65536; first += 16) {
  const ins = Array.from({ length: 16 }, (_, k) => first + k);
  lib.putWords(0, ins);
  lib.fn.convert_std_sbus_data(lib.base + 64, lib.base);
  assert.deepEqual(lib.words(64, 16), ins.map((x) => Math.min(2047, Math.floor(x * 1706 / 1000))));
}

// --- SBUS packing: known frames, every value in every position, v2's cycle
const encode = (l, ch, v2 = false) => {
  l.put(0, new Array(28).fill(0xa5));
  l.put(0, [0x0f]);
  l.putWords(64, ch);
  (v2 ? l.fn.encode_sbus_data_v2 : l.fn.encode_sbus_data_v1)(l.base, l.base + 64);
  return l.get(0, 28);
};
const whole = (data22, end = 0) => [0x0f, ...data22, 0, end, 0xa5, 0xa5, 0xa5];
const twice = (h) => [...h, ...h];
const all = (v) => new Array(16).fill(v);
const known = [
  [all(1024), whole(twice([0x00, 0x04, 0x20, 0x00, 0x01, 0x08, 0x40, 0x00, 0x02, 0x10, 0x80]))],
  [all(2047), whole(new Array(22).fill(0xff))],
  [all(992), whole(twice([0xe0, 0x03, 0x1f, 0xf8, 0xc0, 0x07, 0x3e, 0xf0, 0x81, 0x0f, 0x7c]))],
  [Array.from({ length: 16 }, (_, k) => 100 * k), whole([0x00, 0x20, 0x03, 0x32, 0x58, 0x02,
    0x19, 0xfa, 0x60, 0x89, 0x57, 0x20, 0x23, 0x1c, 0xfa, 0x98, 0x08, 0x4b, 0x8a, 0xe2, 0x95, 0xbb])],
  [[4095, ...all(0).slice(1)], whole([0xff, 0x07, ...new Array(20).fill(0)])],
  [[...all(0).slice(1), 65535], whole([...new Array(20).fill(0), 0xe0, 0xff])],
];
for (const [ch, want] of known) assert.deepEqual(encode(lib, ch), want);
const bits = (f, at) => { let v = 0; for (let b = 0; b < 11; b++) v |= ((f[1 + ((at + b) >> 3)] >> ((at + b) & 7)) & 1) << b; return v; };
const background = Array.from({ length: 16 }, (_, k) => (k * 389 + 77) % 2048);
for (let position = 0; position < 16; position++) {
  for (let value = 0; value < 2048; value++) {
    const ch = background.slice();
    ch[position] = value;
    const f = encode(lib, ch);
    for (let k = 0; k < 16; k++) if (bits(f, 11 * k) !== ch[k]) assert.fail(`channel ${k}, ${value} at ${position}`);
  }
}
const fresh = library();
const ends = [];
for (let n = 0; n < 9; n++) {
  ends.push(encode(fresh, all(1024), true)[24]);
  encode(fresh, all(1024)); // v1 leaves the cycle alone
}
assert.deepEqual(ends, [0x04, 0x14, 0x24, 0x34, 0x04, 0x14, 0x24, 0x34, 0x04]);

// --- The stream reader against the model: the whole stream kept, scanned
// once from the front, resuming where it stopped.
function model() {
  let stream = [];
  const b15 = new Array(15).fill(0), b32 = new Array(32).fill(0);
  const decode = (p, len) => {
    const w = (at, n) => Array.from({ length: n }, (_, k) => p[at + 2 * k] | (p[at + 2 * k + 1] << 8));
    if (len === 0) return;
    if ((p[0] === 0 || p[0] === 2) && len >= 31) b15.splice(0, 15, ...w(1, 15));
    if (p[0] === 1 && len >= 65) b32.splice(0, 32, ...w(1, 32));
    if (p[0] === 2 && len >= 95) b32.splice(0, 32, ...w(31, 32));
  };
  return { b15, b32, feed(chunk) {
    stream = stream.concat(chunk);
    let found = 0, p = 0;
    while (p < stream.length) {
      if (stream[p] !== 0xfa) { p++; continue; }
      if (stream.length - p < 4) break;
      const len = stream[p + 2] + 256 * stream[p + 3];
      if (len > 495) { p++; continue; }
      const end = p + 4 + len;
      if (end >= stream.length) break;
      if (stream[end] !== 0x5f) p = end + 1;
      else if (stream[p + 1] === 0xa5) { decode(stream.slice(p + 4, end), len); found = 1; p = end + 1; }
      else if (stream[p + 1] === 0xe5) p = end + 1;
      else p++;
    }
    stream = stream.slice(p);
    return found;
  } };
}
let seed = 1;
const rand = (n) => { seed = (seed * 1103515245 + 12345) % 2147483648; return Math.floor(seed / 65536) % n; };
function randomStream(size) {
  const out = [];
  while (out.length < size) {
    const kind = rand(8), len = [31, 65, 95, 0, rand(120), rand(496), 600][rand(7)];
    const payload = Array.from({ length: len }, (_, k) => (k === 0 ? rand(4) : rand(256)));
    if (kind < 5) out.push(0xfa, [0xa5, 0xa5, 0xe5, 0x11][rand(4)], len & 255, len >> 8, ...payload, rand(6) ? 0x5f : rand(256));
    else if (kind === 5) out.push(0xfa);
    else out.push(...Array.from({ length: rand(40) }, () => rand(256)));
  }
  return out;
}
for (let round = 0; round < 40; round++) {
  const stream = randomStream(20000), l = library(), m = model();
  for (let at = 0; at < stream.length;) {
    const n = Math.min(stream.length - at, rand(16) === 0 ? 0 : 1 + rand(round % 2 ? 255 : 7));
    const chunk = stream.slice(at, at + n);
    const got = l.fn.parse_port_data(l.put(0, chunk), n, l.base + 512, l.base + 576);
    const want = m.feed(chunk);
    if (got !== want || String(l.words(512, 15)) !== String(m.b15) ||
        String(l.words(576, 32)) !== String(m.b32)) {
      assert.fail(`round ${round}: diverged at byte ${at}`);
    }
    at += n;
  }
}
console.log('Kestrav.wasm: %d bytes, every known answer and 40 random streams agree', bytes.length);
