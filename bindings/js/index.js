// The Kestrav library compiled to WebAssembly, for node and the browser.
//
// The library keeps one link stream and one SBUS2 end-byte counter per
// loaded copy. Here every reader and every encoder is an instance of the
// module of its own, and so has its own: two devices never share a stream,
// and a reader fed a whole chunk still gives every frame in it (what the
// kestrav tool gets by feeding the library one byte at a time).

const EXPORTS = ['request_upload_port_data', 'stop_upload_port_data',
  'parse_port_data', 'parse_hid_game_controller_device',
  'convert_std_sbus_data', 'encode_sbus_data_v1', 'encode_sbus_data_v2'];

// Wire values.
const REQUEST_SIZE = 7;
const STOP_SIZE = 5;
const SBUS_SIZE = 25;
const SBUS_START = 0x0f;
const SBUS_FLAGS_AT = 23;
const SBUS_END_AT = 24;
const SBUS_CHANNELS = 16;
const SBUS_MAX = 2047;
const STD_MAX = 1200;
const HID_REPORT_SIZE = 17;
const HID_VALUES = 11;
const FLAG_CH17 = 0x01;
const FLAG_CH18 = 0x02;
const FLAG_FRAME_LOST = 0x04;
const FLAG_FAILSAFE = 0x08;
const BLOCK15 = 15;
const BLOCK32 = 32;
const TAIL = 0x5f; // a frame's end byte
const MAX_CALL = 255; // parse_port_data takes an 8-bit length

// Each instance's scratch space: one page past the module's own memory
// (its stack and its 500-byte stream buffer), laid out as below.
const PAGE = 65536;
const CHUNK = 32768; // bytes copied in at a time
const AT = {
  chunk: 0, block15: CHUNK, block32: CHUNK + 64, frame: CHUNK + 192,
  channels: CHUNK + 256, std: CHUNK + 320, report: CHUNK + 384,
  values: CHUNK + 448,
};

class Instance {
  constructor(module) {
    const { exports } = new WebAssembly.Instance(module, {});
    this.fn = exports;
    this.memory = exports.memory;
    this.base = this.memory.grow(1) * PAGE;
    this.view = new DataView(this.memory.buffer);
    this.bytes = new Uint8Array(this.memory.buffer);
  }

  // Words little-endian, as the library stores them, whatever the host.
  words(at, count) {
    const out = new Array(count);
    for (let k = 0; k < count; k++) out[k] = this.view.getUint16(this.base + at + 2 * k, true);
    return out;
  }

  putWords(at, values) {
    for (let k = 0; k < values.length; k++) this.view.setUint16(this.base + at + 2 * k, values[k], true);
  }
}

function integers(values, count, max, what) {
  if (values == null || typeof values.length !== 'number') {
    throw new TypeError(what + ': expected ' + count + ' integers');
  }
  if (values.length !== count) {
    throw new RangeError(what + ': expected ' + count + ' integers, got ' + values.length);
  }
  const out = new Array(count);
  for (let k = 0; k < count; k++) {
    const v = values[k];
    if (typeof v !== 'number' || !Number.isInteger(v)) {
      throw new TypeError(what + ': value ' + k + ' (' + String(v) + ') is not an integer');
    }
    if (v < 0 || v > max) {
      throw new RangeError(what + ': value ' + k + ' is ' + v + ', outside 0 to ' + max);
    }
    out[k] = v;
  }
  return out;
}

function byteArg(v, name) {
  if (typeof v !== 'number' || !Number.isInteger(v)) throw new TypeError(name + ' must be an integer');
  if (v < 0 || v > 255) throw new RangeError(name + ' must be from 0 to 255, not ' + v);
  return v;
}

function asBytes(data, what) {
  if (data instanceof Uint8Array) return data;
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  throw new TypeError(what + ' must be a Uint8Array');
}

// Every port data frame in the bytes fed, in order, each with the blocks as
// they are after it. The blocks start as zeros.
class LinkReader {
  constructor(module) {
    this.module = module;
    this.reset();
  }

  // A frame is complete only when its end byte (0x5F) arrives: the library
  // decides a frame at no other byte. So the bytes go in calls that each
  // end just after a 0x5F (or at 255 bytes, the most a call takes): a call
  // then completes exactly the frames that feeding its last byte alone
  // would have, and the result is the one byte-by-byte feeding gives, with
  // a call for every 0x5F instead of every byte.
  feed(bytes) {
    const data = asBytes(bytes, 'feed');
    const i = this.instance;
    const { fn, base, bytes: memory } = i;
    const frames = [];
    for (let at = 0; at < data.length; at += CHUNK) {
      const piece = data.subarray(at, Math.min(data.length, at + CHUNK));
      memory.set(piece, base + AT.chunk);
      // The next 0x5F at or after from (the last byte when there is none),
      // looked for again only once passed: bytes with few 0x5F in them are
      // scanned once, not once a call.
      let tail = -1;
      for (let from = 0; from < piece.length;) {
        if (tail < from) {
          const found = piece.indexOf(TAIL, from);
          tail = found < 0 ? piece.length - 1 : found;
        }
        const to = Math.min(tail + 1, from + MAX_CALL);
        if (fn.parse_port_data(base + AT.chunk + from, to - from, base + AT.block15,
          base + AT.block32)) {
          frames.push({ block15: i.words(AT.block15, BLOCK15), block32: i.words(AT.block32, BLOCK32) });
        }
        from = to;
      }
    }
    return frames;
  }

  // A new stream: a frame carried over from the bytes fed so far is
  // dropped, and both blocks are zeros again (a fresh instance).
  reset() {
    this.instance = new Instance(this.module);
  }
}

class SbusEncoder {
  constructor(module, v2) {
    this.instance = new Instance(module);
    this.v2 = Boolean(v2);
  }

  frame(channels, { ch17 = false, ch18 = false, frameLost = false, failsafe = false } = {}) {
    const values = integers(channels, SBUS_CHANNELS, SBUS_MAX, 'channels');
    const i = this.instance;
    i.putWords(AT.channels, values);
    const at = i.base + AT.frame;
    i.bytes[at] = SBUS_START;
    const encode = this.v2 ? i.fn.encode_sbus_data_v2 : i.fn.encode_sbus_data_v1;
    encode(at, i.base + AT.channels);
    const out = i.bytes.slice(at, at + SBUS_SIZE);
    out[SBUS_FLAGS_AT] |= (ch17 ? FLAG_CH17 : 0) | (ch18 ? FLAG_CH18 : 0) |
      (frameLost ? FLAG_FRAME_LOST : 0) | (failsafe ? FLAG_FAILSAFE : 0);
    return out;
  }
}

// The library has no SBUS decoder: sixteen 11-bit channels, least
// significant bit first from byte 1, the flags in byte 23, the end byte 24.
function decodeSbus(frame) {
  const f = asBytes(frame, 'frame');
  if (f.length !== SBUS_SIZE || f[0] !== SBUS_START) {
    throw new RangeError('not an SBUS frame: ' + SBUS_SIZE + ' bytes starting with 0x0F expected');
  }
  const channels = new Array(SBUS_CHANNELS);
  for (let k = 0; k < SBUS_CHANNELS; k++) {
    let v = 0;
    for (let b = 0; b < 11; b++) {
      const bit = 11 * k + b;
      v |= ((f[1 + (bit >> 3)] >> (bit & 7)) & 1) << b;
    }
    channels[k] = v;
  }
  const flags = f[SBUS_FLAGS_AT];
  return {
    channels, ch17: (flags & FLAG_CH17) !== 0, ch18: (flags & FLAG_CH18) !== 0,
    frameLost: (flags & FLAG_FRAME_LOST) !== 0, failsafe: (flags & FLAG_FAILSAFE) !== 0,
    end: f[SBUS_END_AT],
  };
}

class Kestrav {
  constructor(module) {
    this.module = module;
    this.shared = new Instance(module); // for the calls that keep no state
  }

  linkReader() { return new LinkReader(this.module); }

  sbusEncoder({ v2 = false } = {}) { return new SbusEncoder(this.module, v2); }

  requestFrame(a0 = 1, a1 = 0) {
    const i = this.shared;
    i.fn.request_upload_port_data(i.base + AT.frame, byteArg(a0, 'a0'), byteArg(a1, 'a1'));
    return i.bytes.slice(i.base + AT.frame, i.base + AT.frame + REQUEST_SIZE);
  }

  stopFrame() {
    const i = this.shared;
    i.fn.stop_upload_port_data(i.base + AT.frame);
    return i.bytes.slice(i.base + AT.frame, i.base + AT.frame + STOP_SIZE);
  }

  // Standard-scale values (0 to 1200, 600 the centre) to SBUS values.
  convertStd(values) {
    const i = this.shared;
    i.putWords(AT.std, integers(values, SBUS_CHANNELS, STD_MAX, 'values'));
    i.fn.convert_std_sbus_data(i.base + AT.channels, i.base + AT.std);
    return i.words(AT.channels, SBUS_CHANNELS);
  }

  decodeSbus(frame) { return decodeSbus(frame); }

  // Eleven values, or null for a report the library refuses (any length
  // but 17: a report ID first is the caller's to strip).
  parseHid(report) {
    const r = asBytes(report, 'report');
    if (r.length > 255) return null;
    const i = this.shared;
    i.bytes.set(r, i.base + AT.report);
    if (!i.fn.parse_hid_game_controller_device(i.base + AT.values, i.base + AT.report, r.length)) {
      return null;
    }
    return i.words(AT.values, HID_VALUES);
  }
}

async function bytesOf(source) {
  if (source instanceof ArrayBuffer || ArrayBuffer.isView(source)) return source;
  if (typeof Response !== 'undefined' && source instanceof Response) {
    if (!source.ok) throw new Error('Kestrav.wasm: HTTP ' + source.status);
    return source.arrayBuffer();
  }
  const url = source instanceof URL ? source : new URL(String(source), import.meta.url);
  if (url.protocol === 'file:') {
    const { readFile } = await import('node:fs/promises');
    return readFile(url);
  }
  return bytesOf(await fetch(url));
}

// Compiles the module once; each reader and encoder then gets an instance
// of its own. source: the module's bytes, a Response, or a URL (by default
// Kestrav.wasm beside this file).
export async function load(source = new URL('./Kestrav.wasm', import.meta.url)) {
  const module = await WebAssembly.compile(await bytesOf(source));
  const names = WebAssembly.Module.exports(module).map((e) => e.name);
  for (const name of EXPORTS) {
    if (!names.includes(name)) throw new Error('not the Kestrav module: no ' + name);
  }
  return new Kestrav(module);
}

export { decodeSbus };
