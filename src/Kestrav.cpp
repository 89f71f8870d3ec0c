// Kestrav: one module, three subsystems in order: the device link (command
// frames, port data payload decoder, stream reassembly), the HID
// game-controller report decoder, and SBUS output (channel scaling, frame
// encoder).
//
// The Linux build is freestanding: it links no C or C++ runtime, so nothing
// here may call a library function, and loops that copy bytes are written so
// that the compiler cannot turn them back into memcpy/memmove calls.

#include "Kestrav.h"

#include <stddef.h>
#include <stdint.h>

// x86-64 always has SSE2; KESTRAV_NO_SIMD builds the portable code instead.
#if defined(__SSE2__) && !defined(KESTRAV_NO_SIMD)
#define KESTRAV_SSE2 1
#include <emmintrin.h>
#endif
#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

// ---------------------------------------------------------------------------
// Byte copies
// ---------------------------------------------------------------------------

// Unaligned, aliasing-safe views used only to move bytes in wide steps. They
// copy bytes as bytes; no multi-byte value is ever read through them.
typedef uint8_t Bytes16 __attribute__((vector_size(16), aligned(1), may_alias));
typedef uint64_t Bytes8 __attribute__((aligned(1), may_alias));
typedef uint32_t Bytes4 __attribute__((aligned(1), may_alias));
typedef uint16_t Bytes2 __attribute__((aligned(1), may_alias));
static_assert(sizeof(Bytes16) == 16, "16-byte copy step");
static_assert(sizeof(Bytes8) == 8 && sizeof(Bytes4) == 4 && sizeof(Bytes2) == 2,
              "copy steps");

// Forward copy of n bytes. Safe when the ranges overlap with dst <= src,
// because each step loads its source bytes before storing, and a step never
// stores over source bytes that a later step still has to load.
inline void copy_forward(uint8_t *dst, const uint8_t *src, size_t n) {
  while (n >= 16) {
    const Bytes16 v = *reinterpret_cast<const Bytes16 *>(src);
    *reinterpret_cast<Bytes16 *>(dst) = v;
    dst += 16;
    src += 16;
    n -= 16;
  }
  if (n & 8) {
    const uint64_t v = *reinterpret_cast<const Bytes8 *>(src);
    *reinterpret_cast<Bytes8 *>(dst) = v;
    dst += 8;
    src += 8;
  }
  if (n & 4) {
    const uint32_t v = *reinterpret_cast<const Bytes4 *>(src);
    *reinterpret_cast<Bytes4 *>(dst) = v;
    dst += 4;
    src += 4;
  }
  if (n & 2) {
    const uint16_t v = *reinterpret_cast<const Bytes2 *>(src);
    *reinterpret_cast<Bytes2 *>(dst) = v;
    dst += 2;
    src += 2;
  }
  if (n & 1) {
    *dst = *src;
  }
}

// ---------------------------------------------------------------------------
// Device link: frames and command builders
// ---------------------------------------------------------------------------
//
// Link frame, in order of transmission:
//   0      start byte 0xFA
//   1      command code
//   2..3   payload length L, little-endian (low byte first)
//   4..    L payload bytes
//   4 + L  end byte 0x5F
// No checksum, no escaping: 0xFA and 0x5F may appear inside length and
// payload.

constexpr uint8_t FRAME_HEAD = 0xFA;
constexpr uint8_t FRAME_TAIL = 0x5F;
constexpr uint8_t CMD_REQUEST_UPLOAD = 0xE5;
constexpr uint8_t CMD_STOP_UPLOAD = 0xE4;
constexpr uint8_t CMD_PORT_DATA = 0xA5;

constexpr size_t FRAME_CODE_OFFSET = 1;
constexpr size_t FRAME_LENGTH_OFFSET = 2;
constexpr size_t FRAME_HEADER_SIZE = 4;  // start, code, two length bytes
constexpr size_t FRAME_OVERHEAD = FRAME_HEADER_SIZE + 1;  // + end byte

constexpr uint8_t REQUEST_PAYLOAD_SIZE = 2;
constexpr size_t REQUEST_FRAME_SIZE = FRAME_OVERHEAD + REQUEST_PAYLOAD_SIZE;
constexpr size_t STOP_FRAME_SIZE = FRAME_OVERHEAD;
static_assert(REQUEST_FRAME_SIZE == 7, "request frame is 7 bytes");
static_assert(STOP_FRAME_SIZE == 5, "stop frame is 5 bytes");

inline uint16_t get_le16(const uint8_t *p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline void put_le16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v & 0xFFu);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// Writes the header of a frame with the given code and payload length and
// returns where the payload goes.
inline uint8_t *put_frame_header(uint8_t *frame, uint8_t code,
                                 uint16_t length) {
  frame[0] = FRAME_HEAD;
  frame[FRAME_CODE_OFFSET] = code;
  put_le16(frame + FRAME_LENGTH_OFFSET, length);
  return frame + FRAME_HEADER_SIZE;
}

// ---------------------------------------------------------------------------
// Device link: port data payload decoder
// ---------------------------------------------------------------------------
//
// Payload byte 0 is the payload type; the bytes after it are little-endian
// 16-bit words:
//   type 0: 15 words                 -> block15          (31 bytes)
//   type 1: 32 words                 -> block32          (65 bytes)
//   type 2: 15 words, then 32 words  -> block15, block32 (31 / 95 bytes)
//   other:  nothing
// The frame's length field bounds what may be read: a block is written whole
// from one frame or not at all, so a short frame never reads the end byte or
// anything after it, and never half-fills a block.

constexpr uint8_t PAYLOAD_TYPE_BLOCK15 = 0;
constexpr uint8_t PAYLOAD_TYPE_BLOCK32 = 1;
constexpr uint8_t PAYLOAD_TYPE_BOTH = 2;

constexpr size_t BLOCK15_WORDS = 15;
constexpr size_t BLOCK32_WORDS = 32;
constexpr size_t PAYLOAD_TYPE_SIZE = 1;
constexpr size_t BLOCK15_BYTES = 2 * BLOCK15_WORDS;
constexpr size_t BLOCK32_BYTES = 2 * BLOCK32_WORDS;

// Where each block starts in the payload, and the payload length it needs.
constexpr size_t BLOCK15_OFFSET = PAYLOAD_TYPE_SIZE;
constexpr size_t TYPE1_BLOCK32_OFFSET = PAYLOAD_TYPE_SIZE;
constexpr size_t TYPE2_BLOCK32_OFFSET = PAYLOAD_TYPE_SIZE + BLOCK15_BYTES;
constexpr size_t BLOCK15_NEEDS = BLOCK15_OFFSET + BLOCK15_BYTES;
constexpr size_t TYPE1_BLOCK32_NEEDS = TYPE1_BLOCK32_OFFSET + BLOCK32_BYTES;
constexpr size_t TYPE2_BLOCK32_NEEDS = TYPE2_BLOCK32_OFFSET + BLOCK32_BYTES;
static_assert(BLOCK15_NEEDS == 31, "type 0 layout is 31 bytes");
static_assert(TYPE1_BLOCK32_NEEDS == 65, "type 1 layout is 65 bytes");
static_assert(TYPE2_BLOCK32_NEEDS == 95, "type 2 layout is 95 bytes");
static_assert(BLOCK15_WORDS >= 8 && BLOCK32_WORDS >= 8, "see get_le16_words");

// Little-endian words: word k is in[2k] | in[2k + 1] << 8.
//
// On x86 a 16-bit lane loaded from the bytes (b0, b1) holds b0 | b1 << 8 by
// definition of the architecture, whatever the compiler, so there eight
// words are decoded by one 16-byte load and store; a count that is not a
// multiple of eight ends with an overlapping step (count is at least 8).
// Elsewhere the words are assembled byte by byte.
inline void get_le16_words(uint16_t *out, const uint8_t *in, size_t count) {
#if defined(KESTRAV_SSE2)
  constexpr size_t LANES = 8;
  size_t k = 0;
  for (; k + LANES <= count; k += LANES) {
    _mm_storeu_si128(
        reinterpret_cast<__m128i *>(out + k),
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 2 * k)));
  }
  if (k < count) {
    k = count - LANES;
    _mm_storeu_si128(
        reinterpret_cast<__m128i *>(out + k),
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 2 * k)));
  }
#else
  for (size_t k = 0; k < count; ++k) {
    out[k] = static_cast<uint16_t>(in[2 * k] | (in[2 * k + 1] << 8));
  }
#endif
}

void decode_e5_func(const uint8_t *payload, size_t length, uint16_t *block15,
                    uint16_t *block32) {
  if (length < PAYLOAD_TYPE_SIZE) {
    return;
  }
  switch (payload[0]) {
    case PAYLOAD_TYPE_BLOCK15:
      if (block15 != nullptr && length >= BLOCK15_NEEDS) {
        get_le16_words(block15, payload + BLOCK15_OFFSET, BLOCK15_WORDS);
      }
      break;
    case PAYLOAD_TYPE_BLOCK32:
      if (block32 != nullptr && length >= TYPE1_BLOCK32_NEEDS) {
        get_le16_words(block32, payload + TYPE1_BLOCK32_OFFSET, BLOCK32_WORDS);
      }
      break;
    case PAYLOAD_TYPE_BOTH:
      if (block15 != nullptr && length >= BLOCK15_NEEDS) {
        get_le16_words(block15, payload + BLOCK15_OFFSET, BLOCK15_WORDS);
      }
      if (block32 != nullptr && length >= TYPE2_BLOCK32_NEEDS) {
        get_le16_words(block32, payload + TYPE2_BLOCK32_OFFSET, BLOCK32_WORDS);
      }
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// Device link: stream reassembly
// ---------------------------------------------------------------------------
//
// Chunks are appended to one static 500-byte buffer and scanned for frames.
// An incomplete frame at the end of the data is carried over, moved to the
// front of the buffer. A start byte whose frame could never fit the buffer
// (L > 495) is not a frame start, so a false start cannot wedge the stream.

constexpr size_t PORT_BUFFER_SIZE = 500;
constexpr size_t MAX_FRAME_PAYLOAD = PORT_BUFFER_SIZE - FRAME_OVERHEAD;
static_assert(MAX_FRAME_PAYLOAD == 495, "largest frame that fits the buffer");
static_assert(PORT_BUFFER_SIZE <= UINT16_MAX, "fill count is 16 bits");

// The first position at or after p where a frame could start: a start byte
// that is not a certain false start. A start byte whose high length byte
// (three bytes on) is 2 or more declares at least 512 payload bytes and is
// passed over, as is every other byte; only those decisions are taken here,
// so the scan visits the same starts as a byte-by-byte one. Sixteen
// positions are tested at a time where all their length bytes are present.
inline size_t next_frame_start(const uint8_t *data, size_t p, size_t total) {
  constexpr size_t HIGH_LENGTH_OFFSET = FRAME_LENGTH_OFFSET + 1;
#if defined(KESTRAV_SSE2)
  const __m128i head = _mm_set1_epi8(static_cast<char>(FRAME_HEAD));
  const __m128i high_bits = _mm_set1_epi8(static_cast<char>(0xFE));
  const __m128i zero = _mm_setzero_si128();
  while (p + 16 + HIGH_LENGTH_OFFSET <= total) {
    const __m128i starts = _mm_cmpeq_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + p)), head);
    const __m128i high = _mm_loadu_si128(
        reinterpret_cast<const __m128i *>(data + p + HIGH_LENGTH_OFFSET));
    const __m128i may_fit =
        _mm_cmpeq_epi8(_mm_and_si128(high, high_bits), zero);
    const unsigned mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(starts, may_fit)));
    if (mask != 0) {
      return p + static_cast<size_t>(__builtin_ctz(mask));
    }
    p += 16;
  }
#endif
  for (; p < total; ++p) {
    if (data[p] == FRAME_HEAD &&
        (p + HIGH_LENGTH_OFFSET >= total || data[p + HIGH_LENGTH_OFFSET] < 2)) {
      break;
    }
  }
  return p;
}

// What became of the frame whose start byte is at p.
enum class FrameFate { Incomplete, SkipFrame, NextByte };

// Examines the frame starting at p (data[p] is a start byte), decoding it if
// it is a complete port data frame. SkipFrame: go on after its declared end;
// NextByte: go on at p + 1; Incomplete: it must be carried over.
inline FrameFate examine_frame(const uint8_t *data, size_t p, size_t total,
                               uint16_t *block15, uint16_t *block32,
                               uint8_t &found, size_t &end) {
  if (p + FRAME_HEADER_SIZE > total) {
    return FrameFate::Incomplete;  // header not complete yet
  }
  const size_t length = get_le16(data + p + FRAME_LENGTH_OFFSET);
  if (length > MAX_FRAME_PAYLOAD) {
    return FrameFate::NextByte;  // can never fit: a false start
  }
  end = p + FRAME_HEADER_SIZE + length;
  if (end >= total) {
    return FrameFate::Incomplete;  // end byte not arrived yet
  }
  if (data[end] != FRAME_TAIL) {
    return FrameFate::SkipFrame;  // broken frame: skip its declared length
  }
  const uint8_t code = data[p + FRAME_CODE_OFFSET];
  if (code == CMD_PORT_DATA) {
    decode_e5_func(data + p + FRAME_HEADER_SIZE, length, block15, block32);
    found = 1;
    return FrameFate::SkipFrame;
  }
  // A request frame is passed over whole; any other frame is not ours, and a
  // start byte inside it may begin a real frame.
  return code == CMD_REQUEST_UPLOAD ? FrameFate::SkipFrame
                                    : FrameFate::NextByte;
}

// Scans data[from, total) for frames, decoding every port data frame.
// Returns the position of an incomplete frame that must be carried over, or
// total when the scan reached the end.
size_t scan_frames(const uint8_t *data, size_t from, size_t total,
                   uint16_t *block15, uint16_t *block32, uint8_t &found) {
  size_t p = from;
  while (p < total) {
    if (data[p] != FRAME_HEAD) {
      p = next_frame_start(data, p + 1, total);
      continue;
    }
    size_t end = 0;
    switch (examine_frame(data, p, total, block15, block32, found, end)) {
      case FrameFate::Incomplete:
        return p;
      case FrameFate::SkipFrame:
        p = end + 1;
        break;
      case FrameFate::NextByte:
        p = next_frame_start(data, p + 1, total);
        break;
    }
  }
  return total;
}

// The size of the frame carried over at the front of the buffer, whose
// header is complete. It declares at most 495 payload bytes, or it would not
// have been carried.
inline size_t carried_frame_size(const uint8_t *buffer) {
  return get_le16(buffer + FRAME_LENGTH_OFFSET) + FRAME_OVERHEAD;
}

// Everything parse_port_data does beyond appending to a frame that stays
// incomplete: kept out of line so that the per-byte path stays short.
__attribute__((noinline)) uint8_t parse_chunk(uint8_t *buffer,
                                              uint16_t &temp_buffer_len,
                                              const uint8_t *data, size_t len,
                                              uint16_t *block15,
                                              uint16_t *block32) {
  uint8_t found = 0;
  size_t resume = 0;  // where the scan of the buffer starts
  size_t rest = len;
  if (temp_buffer_len >= FRAME_HEADER_SIZE) {
    // The carried-over frame is complete with this chunk: append only what
    // it lacked and act on it.
    const size_t frame_size = carried_frame_size(buffer);
    const size_t missing = frame_size - temp_buffer_len;
    copy_forward(buffer + temp_buffer_len, data, missing);
    data += missing;
    rest -= missing;
    temp_buffer_len = static_cast<uint16_t>(frame_size);
    size_t end = 0;
    if (examine_frame(buffer, 0, frame_size, block15, block32, found, end) ==
        FrameFate::SkipFrame) {
      temp_buffer_len = 0;  // the scan goes on at the chunk's next byte
    } else {
      // A frame of another code: the scan goes on at its second byte, over
      // the carried bytes and the rest of the chunk, if any.
      resume = 1;
    }
  }
  while (rest > 0 || resume != 0) {
    if (temp_buffer_len == 0) {
      // Nothing carried over: scan the chunk where it lies and keep only an
      // incomplete frame at its end. A chunk (at most 255 bytes) always fits.
      const size_t stop = scan_frames(data, 0, rest, block15, block32, found);
      copy_forward(buffer, data + stop, rest - stop);
      temp_buffer_len = static_cast<uint16_t>(rest - stop);
      return found;
    }
    // Append what fits behind the carried-over frame. That frame declares at
    // most 495 payload bytes, so it is complete once the buffer is full and
    // every piece makes progress.
    const size_t room = PORT_BUFFER_SIZE - temp_buffer_len;
    const size_t piece = rest < room ? rest : room;
    copy_forward(buffer + temp_buffer_len, data, piece);
    data += piece;
    rest -= piece;
    const size_t total = temp_buffer_len + piece;
    const size_t stop =
        scan_frames(buffer, resume, total, block15, block32, found);
    resume = 0;
    if (stop != 0) {
      copy_forward(buffer, buffer + stop, total - stop);
    }
    temp_buffer_len = static_cast<uint16_t>(total - stop);
  }
  return found;
}

}  // namespace

// ---------------------------------------------------------------------------
// Exports: device link
// ---------------------------------------------------------------------------

extern "C" {

KESTRAV_API void request_upload_port_data(uint8_t *frame_buf,
                                          uint8_t request_arg0,
                                          uint8_t request_arg1) {
  uint8_t *payload =
      put_frame_header(frame_buf, CMD_REQUEST_UPLOAD, REQUEST_PAYLOAD_SIZE);
  payload[0] = request_arg0;
  payload[1] = request_arg1;
  payload[REQUEST_PAYLOAD_SIZE] = FRAME_TAIL;
}

KESTRAV_API void stop_upload_port_data(uint8_t *frame_buf) {
  uint8_t *payload = put_frame_header(frame_buf, CMD_STOP_UPLOAD, 0);
  payload[0] = FRAME_TAIL;
}

KESTRAV_API uint8_t parse_port_data(const uint8_t *data, uint8_t len,
                                    uint16_t *block15, uint16_t *block32) {
  static uint8_t buffer[PORT_BUFFER_SIZE];
  static uint16_t temp_buffer_len = 0;

  if (len == 0) {
    return 0;
  }
  // The common case of a byte-at-a-time host: a carried-over frame that this
  // chunk does not complete, either because its header is still short or
  // because its declared length is not reached. Append and wait.
  if (temp_buffer_len != 0) {
    const size_t total = temp_buffer_len + size_t{len};
    if (total < FRAME_HEADER_SIZE || (temp_buffer_len >= FRAME_HEADER_SIZE &&
                                      total < carried_frame_size(buffer))) {
      copy_forward(buffer + temp_buffer_len, data, len);
      temp_buffer_len = static_cast<uint16_t>(total);
      return 0;
    }
  }
  return parse_chunk(buffer, temp_buffer_len, data, len, block15, block32);
}

}  // extern "C"

namespace {

// ---------------------------------------------------------------------------
// HID game-controller report
// ---------------------------------------------------------------------------
//
// 17 bytes r0..r16. Values 0-2 are LE16 from r0..r5; r6..r13 form one 64-bit
// little-endian field with five 12-bit values at bit offsets 0, 12, 24, 36,
// 48 and a 4-bit value at 60; value 9 is LE16 from r14..r15; value 10 is r16.

constexpr size_t HID_REPORT_SIZE = 17;
constexpr size_t HID_VALUE_COUNT = 11;
constexpr size_t HID_FIELD_OFFSET = 6;  // start of the packed 64-bit field
constexpr size_t HID_FIELD_BYTES = 8;
constexpr size_t HID_WORD9_OFFSET = HID_FIELD_OFFSET + HID_FIELD_BYTES;
constexpr size_t HID_BYTE10_OFFSET = HID_WORD9_OFFSET + 2;
constexpr unsigned HID_SMALL_BITS = 12;
constexpr uint64_t HID_SMALL_MASK = (uint64_t{1} << HID_SMALL_BITS) - 1;
constexpr unsigned HID_SMALL_COUNT = 5;
constexpr unsigned HID_NIBBLE_SHIFT = HID_SMALL_BITS * HID_SMALL_COUNT;
static_assert(HID_BYTE10_OFFSET + 1 == HID_REPORT_SIZE, "report layout");
static_assert(3 + HID_SMALL_COUNT + 3 == HID_VALUE_COUNT, "eleven values");
static_assert(HID_NIBBLE_SHIFT + 4 == 8 * HID_FIELD_BYTES, "field is full");

// Written as one expression so that the compiler can see it is a single
// little-endian load.
inline uint64_t get_le64(const uint8_t *p) {
  return static_cast<uint64_t>(p[0]) | static_cast<uint64_t>(p[1]) << 8 |
         static_cast<uint64_t>(p[2]) << 16 | static_cast<uint64_t>(p[3]) << 24 |
         static_cast<uint64_t>(p[4]) << 32 | static_cast<uint64_t>(p[5]) << 40 |
         static_cast<uint64_t>(p[6]) << 48 | static_cast<uint64_t>(p[7]) << 56;
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------------------
// Exports: HID game-controller report
// ---------------------------------------------------------------------------

KESTRAV_API uint8_t parse_hid_game_controller_device(uint16_t *hid_values,
                                                     const uint8_t *report,
                                                     uint8_t len) {
  if (len != HID_REPORT_SIZE) {
    return 0;
  }
  hid_values[0] = get_le16(report);
  hid_values[1] = get_le16(report + 2);
  hid_values[2] = get_le16(report + 4);
  const uint64_t field = get_le64(report + HID_FIELD_OFFSET);
  for (unsigned k = 0; k < HID_SMALL_COUNT; ++k) {
    hid_values[3 + k] =
        static_cast<uint16_t>((field >> (HID_SMALL_BITS * k)) & HID_SMALL_MASK);
  }
  hid_values[8] = static_cast<uint16_t>(field >> HID_NIBBLE_SHIFT);
  hid_values[9] = get_le16(report + HID_WORD9_OFFSET);
  hid_values[10] = report[HID_BYTE10_OFFSET];
  return 1;
}

}  // extern "C"

namespace {

// ---------------------------------------------------------------------------
// SBUS output
// ---------------------------------------------------------------------------
//
// Frame: byte 0 start (the caller's), bytes 1..22 sixteen 11-bit channels,
// channel k at bits 11k..11k+10 of a little-endian bit stream (least
// significant bit first), byte 23 flags, byte 24 end byte. The two halves of
// eight channels each fill 88 bits = 11 bytes, so each half is packed in a
// 64-bit and a 32-bit accumulator and written out byte by byte.

constexpr size_t SBUS_CHANNELS = 16;
constexpr unsigned SBUS_CHANNEL_BITS = 11;
constexpr uint16_t SBUS_MAX = (1u << SBUS_CHANNEL_BITS) - 1;
constexpr size_t SBUS_FRAME_SIZE = 25;
constexpr size_t SBUS_DATA_OFFSET = 1;
constexpr size_t SBUS_HALF_CHANNELS = 8;
constexpr size_t SBUS_HALF_BYTES = SBUS_HALF_CHANNELS * SBUS_CHANNEL_BITS / 8;
constexpr size_t SBUS_FLAGS_OFFSET = SBUS_DATA_OFFSET + 2 * SBUS_HALF_BYTES;
constexpr size_t SBUS_END_OFFSET = SBUS_FLAGS_OFFSET + 1;
constexpr uint8_t SBUS_FLAGS = 0x00;
constexpr uint8_t SBUS_END_V1 = 0x00;
constexpr uint8_t SBUS2_END_BASE = 0x04;  // 0x04, 0x14, 0x24, 0x34 in turn
constexpr unsigned SBUS2_END_SLOT_SHIFT = 4;
constexpr uint8_t SBUS2_END_SLOT_MASK = 0x03;
static_assert(SBUS_MAX == 2047, "11-bit channels");
static_assert(SBUS_HALF_BYTES == 11, "eight channels fill eleven bytes");
static_assert(2 * SBUS_HALF_CHANNELS == SBUS_CHANNELS, "two halves");
static_assert(SBUS_END_OFFSET + 1 == SBUS_FRAME_SIZE, "25-byte frame");

// Standard scale to SBUS: floor(x * 1.706), at most 2047. The product is
// formed exactly as the integer x * 1706 and divided by 1000 in single
// precision: for x <= 1200 the numerator is exact (< 2^24) and a correctly
// rounded quotient cannot cross an integer (a non-integral x * 1.706 lies at
// least 0.001 from one, the rounding error is below 0.000123), so truncation
// gives the exact floor. Above 1200 the quotient exceeds 2047 and is clamped.
constexpr uint32_t SBUS_SCALE_NUMERATOR = 1706;
constexpr float SBUS_SCALE_DENOMINATOR = 1000.0f;

#if defined(KESTRAV_SSE2)
// min(x, 2047) in each unsigned 16-bit lane: x - max(x - 2047, 0).
inline __m128i clamp_channels(__m128i x) {
  return _mm_sub_epi16(
      x, _mm_subs_epu16(x, _mm_set1_epi16(static_cast<short>(SBUS_MAX))));
}
#endif

// Packs eight channels, each clamped to 2047, into 11 bytes: channel k at
// bits 11k..11k+10. The 88 bits are gathered in a 64-bit word (bits 0..63)
// and a 32-bit word (bits 64..87) and written out byte by byte.
inline void pack_half(uint8_t *out, const uint16_t *ch) {
#if defined(KESTRAV_SSE2)
  // Lane k of the load is ch[k] (x86 lanes are in array order). Adjacent
  // channels are joined with one multiply-add, c[2j] + c[2j+1] * 2^11, into
  // four 22-bit pairs; adjacent pairs are then joined into two 44-bit quads,
  // pair[2m] | pair[2m+1] << 22, one per 64-bit lane.
  const __m128i c =
      clamp_channels(_mm_loadu_si128(reinterpret_cast<const __m128i *>(ch)));
  const __m128i pairs =
      _mm_madd_epi16(c, _mm_set1_epi32(1 | (1 << (16 + SBUS_CHANNEL_BITS))));
  const __m128i low22 = _mm_set1_epi64x((1 << (2 * SBUS_CHANNEL_BITS)) - 1);
  const __m128i quads =
      _mm_or_si128(_mm_and_si128(pairs, low22),
                   _mm_andnot_si128(low22, _mm_srli_epi64(pairs, 10)));
  const uint64_t q0 = static_cast<uint64_t>(_mm_cvtsi128_si64(quads));
  const uint64_t q1 = static_cast<uint64_t>(
      _mm_cvtsi128_si64(_mm_unpackhi_epi64(quads, quads)));
  const uint64_t low = q0 | q1 << 44;
  const uint32_t high = static_cast<uint32_t>(q1 >> 20);
#else
  uint64_t c[8];
  for (size_t k = 0; k < 8; ++k) {
    c[k] = ch[k] > SBUS_MAX ? SBUS_MAX : ch[k];
  }
  // Channel 5 straddles the two words.
  const uint64_t low = c[0] | (c[1] << 11) | (c[2] << 22) | (c[3] << 33) |
                       (c[4] << 44) | (c[5] << 55);
  const uint32_t high =
      static_cast<uint32_t>((c[5] >> 9) | (c[6] << 2) | (c[7] << 13));
#endif
  for (size_t k = 0; k < 8; ++k) {
    out[k] = static_cast<uint8_t>(low >> (8 * k));
  }
  for (size_t k = 0; k < 3; ++k) {
    out[8 + k] = static_cast<uint8_t>(high >> (8 * k));
  }
}

// Scales eight standard-scale values (see SBUS_SCALE_NUMERATOR).
inline void scale_half(uint16_t *out, const uint16_t *in) {
#if defined(KESTRAV_SSE2)
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
  const __m128i zero = _mm_setzero_si128();
  const __m128 numerator =
      _mm_set1_ps(static_cast<float>(SBUS_SCALE_NUMERATOR));
  const __m128 denominator = _mm_set1_ps(SBUS_SCALE_DENOMINATOR);
  // x * 1706 is exact in single precision up to x = 9834; above 1200 the
  // result is clamped anyway.
  const __m128 low = _mm_div_ps(
      _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpacklo_epi16(x, zero)), numerator),
      denominator);
  const __m128 high = _mm_div_ps(
      _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpackhi_epi16(x, zero)), numerator),
      denominator);
  // Truncate, narrow (saturating at 32767, far above the limit) and clamp.
  const __m128i scaled =
      _mm_packs_epi32(_mm_cvttps_epi32(low), _mm_cvttps_epi32(high));
  _mm_storeu_si128(
      reinterpret_cast<__m128i *>(out),
      _mm_min_epi16(scaled, _mm_set1_epi16(static_cast<short>(SBUS_MAX))));
#else
  for (size_t k = 0; k < 8; ++k) {
    const uint32_t product = in[k] * SBUS_SCALE_NUMERATOR;
    const uint32_t scaled = static_cast<uint32_t>(static_cast<float>(product) /
                                                  SBUS_SCALE_DENOMINATOR);
    out[k] = static_cast<uint16_t>(scaled > SBUS_MAX ? SBUS_MAX : scaled);
  }
#endif
}

inline void encode_sbus(uint8_t *frame, const uint16_t *channels,
                        uint8_t end_byte) {
  pack_half(frame + SBUS_DATA_OFFSET, channels);
  pack_half(frame + SBUS_DATA_OFFSET + SBUS_HALF_BYTES,
            channels + SBUS_HALF_CHANNELS);
  frame[SBUS_FLAGS_OFFSET] = SBUS_FLAGS;
  frame[SBUS_END_OFFSET] = end_byte;
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------------------
// Exports: SBUS output
// ---------------------------------------------------------------------------

KESTRAV_API void convert_std_sbus_data(uint16_t *sbus_channels,
                                       const uint16_t *std_channels) {
  // Each half is read whole before it is written, so the two arrays may be
  // the same.
  scale_half(sbus_channels, std_channels);
  scale_half(sbus_channels + SBUS_HALF_CHANNELS,
             std_channels + SBUS_HALF_CHANNELS);
}

KESTRAV_API void encode_sbus_data_v1(uint8_t *sbus_frame,
                                     const uint16_t *sbus_channels) {
  encode_sbus(sbus_frame, sbus_channels, SBUS_END_V1);
}

KESTRAV_API void encode_sbus_data_v2(uint8_t *sbus_frame,
                                     const uint16_t *sbus_channels) {
  static uint8_t i = 0;
  encode_sbus(sbus_frame, sbus_channels,
              static_cast<uint8_t>(SBUS2_END_BASE | ((i & SBUS2_END_SLOT_MASK)
                                                     << SBUS2_END_SLOT_SHIFT)));
  ++i;  // wraps from 255 to 0; 256 is a multiple of 4, so the cycle runs on
}

}  // extern "C"

#if defined(_WIN32)
// The DLL needs no set-up or tear-down of its own.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
  return TRUE;
}
#endif
