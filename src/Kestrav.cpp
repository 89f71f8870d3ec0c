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
static_assert(sizeof(Bytes16) == 16, "16-byte copy step");
static_assert(sizeof(Bytes8) == 8, "8-byte copy step");

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
  if (n >= 8) {
    const uint64_t v = *reinterpret_cast<const Bytes8 *>(src);
    *reinterpret_cast<Bytes8 *>(dst) = v;
    dst += 8;
    src += 8;
    n -= 8;
  }
  while (n > 0) {
    *dst = *src;
    ++dst;
    ++src;
    --n;
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

// Little-endian words, assembled byte by byte.
inline void get_le16_words(uint16_t *out, const uint8_t *in, size_t count) {
  for (size_t k = 0; k < count; ++k) {
    out[k] = static_cast<uint16_t>(in[2 * k] | (in[2 * k + 1] << 8));
  }
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

// Scans data[0, total) for frames, decoding every port data frame. Returns the
// position of an incomplete frame that must be carried over, or total when
// the scan reached the end.
size_t scan_frames(const uint8_t *data, size_t total, uint16_t *block15,
                   uint16_t *block32, uint8_t &found) {
  size_t p = 0;
  while (p < total) {
    if (data[p] != FRAME_HEAD) {
      ++p;
      continue;
    }
    if (p + FRAME_HEADER_SIZE > total) {
      return p;  // header not complete yet
    }
    const size_t length = get_le16(data + p + FRAME_LENGTH_OFFSET);
    if (length > MAX_FRAME_PAYLOAD) {
      ++p;  // can never fit: a false start
      continue;
    }
    const size_t end = p + FRAME_HEADER_SIZE + length;
    if (end >= total) {
      return p;  // end byte not arrived yet
    }
    if (data[end] != FRAME_TAIL) {
      p = end + 1;  // broken frame: skip its whole declared length
      continue;
    }
    const uint8_t code = data[p + FRAME_CODE_OFFSET];
    if (code == CMD_PORT_DATA) {
      decode_e5_func(data + p + FRAME_HEADER_SIZE, length, block15, block32);
      found = 1;
      p = end + 1;
    } else if (code == CMD_REQUEST_UPLOAD) {
      p = end + 1;
    } else {
      ++p;  // not ours: look for a start byte inside it
    }
  }
  return total;
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

  uint8_t found = 0;
  size_t rest = len;
  while (rest > 0) {
    if (temp_buffer_len == 0) {
      // Nothing carried over: scan the chunk where it lies and keep only an
      // incomplete frame at its end. A chunk (at most 255 bytes) always fits.
      const size_t stop = scan_frames(data, rest, block15, block32, found);
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
    const size_t stop = scan_frames(buffer, total, block15, block32, found);
    if (stop != 0) {
      copy_forward(buffer, buffer + stop, total - stop);
    }
    temp_buffer_len = static_cast<uint16_t>(total - stop);
  }
  return found;
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

inline uint64_t get_le64(const uint8_t *p) {
  uint64_t v = 0;
  for (size_t k = 0; k < 8; ++k) {
    v |= static_cast<uint64_t>(p[k]) << (8 * k);
  }
  return v;
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
static_assert(SBUS_END_OFFSET + 1 == SBUS_FRAME_SIZE, "25-byte frame");

// Standard scale to SBUS: floor(x * 1.706), at most 2047. The product is
// formed exactly as the integer x * 1706 and divided by 1000 in single
// precision: for x <= 1200 the numerator is exact (< 2^24) and a correctly
// rounded quotient cannot cross an integer (a non-integral x * 1.706 lies at
// least 0.001 from one, the rounding error is below 0.000123), so truncation
// gives the exact floor. Above 1200 the quotient exceeds 2047 and is clamped.
constexpr uint32_t SBUS_SCALE_NUMERATOR = 1706;
constexpr float SBUS_SCALE_DENOMINATOR = 1000.0f;

inline uint32_t clamp_channel(uint16_t value) {
  return value > SBUS_MAX ? SBUS_MAX : value;
}

// Packs eight channels into 11 bytes.
inline void pack_half(uint8_t *out, const uint16_t *ch) {
  const uint64_t c0 = clamp_channel(ch[0]), c1 = clamp_channel(ch[1]),
                 c2 = clamp_channel(ch[2]), c3 = clamp_channel(ch[3]),
                 c4 = clamp_channel(ch[4]), c5 = clamp_channel(ch[5]);
  const uint32_t c6 = clamp_channel(ch[6]), c7 = clamp_channel(ch[7]);
  // Bits 0..63, then bits 64..87 (channel 5 straddles the two).
  const uint64_t low =
      c0 | (c1 << 11) | (c2 << 22) | (c3 << 33) | (c4 << 44) | (c5 << 55);
  const uint32_t high = static_cast<uint32_t>(c5 >> 9) | (c6 << 2) | (c7 << 13);
  for (size_t k = 0; k < 8; ++k) {
    out[k] = static_cast<uint8_t>(low >> (8 * k));
  }
  for (size_t k = 0; k < 3; ++k) {
    out[8 + k] = static_cast<uint8_t>(high >> (8 * k));
  }
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
  for (size_t k = 0; k < SBUS_CHANNELS; ++k) {
    const uint32_t product = std_channels[k] * SBUS_SCALE_NUMERATOR;
    const uint32_t scaled = static_cast<uint32_t>(static_cast<float>(product) /
                                                  SBUS_SCALE_DENOMINATOR);
    sbus_channels[k] =
        static_cast<uint16_t>(scaled > SBUS_MAX ? SBUS_MAX : scaled);
  }
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
