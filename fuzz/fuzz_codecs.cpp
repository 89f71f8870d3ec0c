// Fuzz target: HID report decoding, SBUS scaling and SBUS encoding against
// independent computations. Byte 0 of the input picks the function; the rest
// is its input. Every buffer is a heap allocation of exactly its size.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Kestrav.h"
#include "bit_reader.h"

namespace {

using kestrav_test::read_bits;

[[noreturn]] void mismatch(const char *what) {
  std::fprintf(stderr, "%s differs from the independent computation\n", what);
  std::abort();
}

template <typename T>
std::unique_ptr<T[]> exact(size_t n) {
  return std::unique_ptr<T[]>(n > 0 ? new T[n] : nullptr);
}

void check_hid(const uint8_t *data, size_t size) {
  const size_t len = size > 255 ? 255 : size;
  auto report = exact<uint8_t>(len);
  if (len > 0) std::memcpy(report.get(), data, len);
  auto values = exact<uint16_t>(11);
  for (size_t k = 0; k < 11; ++k) values[k] = 0xBEEF;
  const uint8_t r = parse_hid_game_controller_device(values.get(), report.get(),
                                                     static_cast<uint8_t>(len));
  if (len != 17) {
    if (r != 0) mismatch("HID result for a wrong length");
    for (size_t k = 0; k < 11; ++k)
      if (values[k] != 0xBEEF) mismatch("HID values for a wrong length");
    return;
  }
  // Bytes 6..13 as one 64-bit little-endian field.
  uint64_t field = 0;
  for (size_t k = 0; k < 8; ++k) field |= uint64_t{report[6 + k]} << (8 * k);
  const uint16_t want[11] = {
      static_cast<uint16_t>(read_bits(report.get(), 0, 16)),
      static_cast<uint16_t>(read_bits(report.get(), 16, 16)),
      static_cast<uint16_t>(read_bits(report.get(), 32, 16)),
      static_cast<uint16_t>(field & 0xFFF),
      static_cast<uint16_t>((field >> 12) & 0xFFF),
      static_cast<uint16_t>((field >> 24) & 0xFFF),
      static_cast<uint16_t>((field >> 36) & 0xFFF),
      static_cast<uint16_t>((field >> 48) & 0xFFF),
      static_cast<uint16_t>(field >> 60),
      static_cast<uint16_t>(read_bits(report.get(), 112, 16)),
      report[16]};
  if (r != 1) mismatch("HID result");
  for (size_t k = 0; k < 11; ++k)
    if (values[k] != want[k]) mismatch("HID value");
}

void read_channels(uint16_t *ch, const uint8_t *data, size_t size) {
  for (size_t k = 0; k < 16; ++k) {
    const uint8_t lo = 2 * k < size ? data[2 * k] : 0;
    const uint8_t hi = 2 * k + 1 < size ? data[2 * k + 1] : 0;
    ch[k] = static_cast<uint16_t>(lo | hi << 8);
  }
}

void check_sbus(const uint8_t *data, size_t size, bool v2) {
  static uint8_t counter = 0;  // mirrors the library's SBUS2 counter
  auto ch = exact<uint16_t>(16);
  read_channels(ch.get(), data, size);
  auto frame = exact<uint8_t>(25);
  frame[0] = 0x0F;
  if (v2) {
    encode_sbus_data_v2(frame.get(), ch.get());
  } else {
    encode_sbus_data_v1(frame.get(), ch.get());
  }
  // An independent packer: one bit at a time, least significant first.
  uint8_t want[25] = {0x0F};
  for (size_t k = 0; k < 16; ++k) {
    const uint32_t v = ch[k] > 2047 ? 2047 : ch[k];
    for (size_t b = 0; b < 11; ++b) {
      const size_t bit = 11 * k + b;
      if ((v >> b) & 1)
        want[1 + bit / 8] |= static_cast<uint8_t>(1 << (bit % 8));
    }
  }
  want[24] = v2 ? static_cast<uint8_t>(0x04 + 0x10 * (counter++ % 4)) : 0;
  if (std::memcmp(frame.get(), want, 25) != 0) mismatch("SBUS frame");
}

void check_convert(const uint8_t *data, size_t size) {
  auto in = exact<uint16_t>(16);
  read_channels(in.get(), data, size);
  auto out = exact<uint16_t>(16);
  convert_std_sbus_data(out.get(), in.get());
  for (size_t k = 0; k < 16; ++k) {
    const uint32_t v = uint32_t{in[k]} * 1706 / 1000;
    if (out[k] != (v > 2047 ? 2047 : v)) mismatch("SBUS scaling");
  }
  convert_std_sbus_data(in.get(), in.get());  // in place
  if (std::memcmp(in.get(), out.get(), 32) != 0) mismatch("in-place scaling");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size) {
  if (size == 0) return 0;
  const uint8_t *data = input + 1;
  const size_t rest = size - 1;
  switch (input[0] % 4) {
    case 0:
      check_hid(data, rest);
      break;
    case 1:
      check_sbus(data, rest, false);
      break;
    case 2:
      check_sbus(data, rest, true);
      break;
    default:
      check_convert(data, rest);
      break;
  }
  return 0;
}
