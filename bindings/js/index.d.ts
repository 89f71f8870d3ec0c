// Types of the kestrav package: the Kestrav library in WebAssembly.

/** One port data frame: the blocks as they are after it. */
export interface Frame {
  /** 15 words, 0 to 65535. */
  block15: number[];
  /** 32 words, 0 to 65535. */
  block32: number[];
}

/** A device link's stream, of its own: every frame in the bytes fed. */
export interface LinkReader {
  /** Every port data frame completed by these bytes, in order. */
  feed(bytes: Uint8Array): Frame[];
  /** A new stream: drops a carried frame; both blocks are zeros again. */
  reset(): void;
}

export interface SbusFlags {
  ch17?: boolean;
  ch18?: boolean;
  frameLost?: boolean;
  failsafe?: boolean;
}

export interface SbusEncoder {
  /**
   * A 25-byte SBUS frame: 0x0F, the sixteen channels packed by the
   * library, the flags in byte 23, the end byte (00, or 04 14 24 34 in
   * turn for an SBUS2 encoder, each encoder its own cycle).
   * @throws TypeError for a value that is not an integer
   * @throws RangeError for anything but 16 values from 0 to 2047
   */
  frame(channels: ArrayLike<number>, flags?: SbusFlags): Uint8Array;
}

export interface SbusFrame extends Required<SbusFlags> {
  /** 16 values, 0 to 2047. */
  channels: number[];
  /** The end byte. */
  end: number;
}

export interface Kestrav {
  linkReader(): LinkReader;
  sbusEncoder(options?: { v2?: boolean }): SbusEncoder;
  /** The 7-byte upload request FA E5 02 00 a0 a1 5F. */
  requestFrame(a0?: number, a1?: number): Uint8Array;
  /** The 5-byte stop frame FA E4 00 00 5F. */
  stopFrame(): Uint8Array;
  /**
   * Sixteen standard-scale values (0 to 1200, 600 the centre) as SBUS
   * values: min(2047, floor(x * 1.706)).
   */
  convertStd(values: ArrayLike<number>): number[];
  /** @throws RangeError for bytes that are not a 25-byte SBUS frame */
  decodeSbus(frame: Uint8Array): SbusFrame;
  /** Eleven values of a 17-byte report, or null for any other length. */
  parseHid(report: Uint8Array): number[] | null;
}

/**
 * Compiles the module: its bytes, a Response or a URL (by default
 * Kestrav.wasm beside the package's module).
 */
export function load(
  source?: ArrayBuffer | ArrayBufferView | Response | URL | string,
): Promise<Kestrav>;

/** The same as Kestrav.decodeSbus, without loading the module. */
export function decodeSbus(frame: Uint8Array): SbusFrame;
