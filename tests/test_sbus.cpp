// SBUS channel scaling and frame encoding.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "bit_reader.h"
#include "loader.h"

namespace kestrav_test {
namespace {

using Channels = std::array<uint16_t, 16>;
using Frame = std::vector<uint8_t>;

constexpr uint8_t kCallerByte = 0x0F;  // the caller's start byte
constexpr uint8_t kBeyond = 0xA5;      // bytes after the 25-byte frame
constexpr size_t kBufferSize = 25 + 3;

// --- Scaling -----------------------------------------------------------------

uint16_t scaled(uint32_t x) {
  const uint32_t v = x * 1706 / 1000;
  return static_cast<uint16_t>(v < 2047 ? v : 2047);
}

TEST(SbusScaling, KnownAnswers) {
  Library lib;
  const Channels in = {0,    1,    3,    100,   500,   600,  1000, 1199,
                       1200, 1201, 2000, 30000, 65535, 1202, 599,  7};
  const Channels want = {0,    1,    5,    170,  853,  1023, 1706, 2045,
                         2047, 2047, 2047, 2047, 2047, 2047, 1021, 11};
  Channels out;
  out.fill(0xDEAD);
  lib.convert_std_sbus_data(out.data(), in.data());
  EXPECT_EQ(out, want);
}

// Every 16-bit input, once into a separate array and once in place.
TEST(SbusScaling, EveryInputSeparateAndInPlace) {
  Library lib;
  for (uint32_t base = 0; base < 65536; base += 16) {
    Channels in, want;
    for (uint32_t k = 0; k < 16; ++k) {
      in[k] = static_cast<uint16_t>(base + k);
      want[k] = scaled(base + k);
    }
    Channels out;
    out.fill(0xDEAD);
    lib.convert_std_sbus_data(out.data(), in.data());
    ASSERT_EQ(out, want) << "inputs from " << base;
    Channels same = in;
    lib.convert_std_sbus_data(same.data(), same.data());
    ASSERT_EQ(same, want) << "in place, inputs from " << base;
  }
}

// --- Frame encoding
// ------------------------------------------------------------

Frame encode_v1(Library &lib, const Channels &ch) {
  Frame f(kBufferSize, kBeyond);
  f[0] = kCallerByte;
  lib.encode_sbus_data_v1(f.data(), ch.data());
  return f;
}

// Bytes 1..22 as given, then flags 00 and the end byte, framed by the
// caller's byte and the untouched bytes beyond.
Frame whole(const std::vector<uint8_t> &data22, uint8_t end = 0x00) {
  Frame f(kBufferSize, kBeyond);
  f[0] = kCallerByte;
  for (size_t k = 0; k < 22; ++k) f[1 + k] = data22.at(k);
  f[23] = 0x00;
  f[24] = end;
  return f;
}

std::vector<uint8_t> twice(const std::vector<uint8_t> &half) {
  std::vector<uint8_t> v(2 * half.size());
  for (size_t k = 0; k < v.size(); ++k) v[k] = half[k % half.size()];
  return v;
}

Channels all(uint16_t v) {
  Channels c;
  c.fill(v);
  return c;
}

struct FrameVector {
  const char *name;
  Channels channels;
  Frame want;
};

TEST(SbusEncoding, KnownFrames) {
  Library lib;
  Channels ramp, first_over, last_over;
  for (size_t k = 0; k < 16; ++k) ramp[k] = static_cast<uint16_t>(100 * k);
  first_over = all(0);
  first_over[0] = 4095;
  last_over = all(0);
  last_over[15] = 65535;
  std::vector<uint8_t> first_over_bytes(22, 0x00), last_over_bytes(22, 0x00);
  first_over_bytes[0] = 0xFF;
  first_over_bytes[1] = 0x07;
  last_over_bytes[20] = 0xE0;
  last_over_bytes[21] = 0xFF;
  const FrameVector vectors[] = {
      {"all 1024", all(1024),
       whole(twice({0x00, 0x04, 0x20, 0x00, 0x01, 0x08, 0x40, 0x00, 0x02, 0x10,
                    0x80}))},
      {"all 2047", all(2047), whole(std::vector<uint8_t>(22, 0xFF))},
      {"all 0", all(0), whole(std::vector<uint8_t>(22, 0x00))},
      {"all 992", all(992),
       whole(twice({0xE0, 0x03, 0x1F, 0xF8, 0xC0, 0x07, 0x3E, 0xF0, 0x81, 0x0F,
                    0x7C}))},
      {"channel k = 100k", ramp,
       whole({0x00, 0x20, 0x03, 0x32, 0x58, 0x02, 0x19, 0xFA,
              0x60, 0x89, 0x57, 0x20, 0x23, 0x1C, 0xFA, 0x98,
              0x08, 0x4B, 0x8A, 0xE2, 0x95, 0xBB})},
      {"ch0 = 4095 is clamped", first_over, whole(first_over_bytes)},
      {"ch15 = 65535 is clamped", last_over, whole(last_over_bytes)},
      {"all 65535", all(65535), whole(std::vector<uint8_t>(22, 0xFF))},
  };
  for (const auto &v : vectors) {
    EXPECT_EQ(encode_v1(lib, v.channels), v.want) << v.name;
  }
}

// Every channel position with every 11-bit value, the other channels holding
// a fixed random background: each channel must read back whole from its own
// eleven bits, and bytes 0, 23, 24 and beyond must be as documented.
TEST(SbusEncoding, EveryPositionEveryValue) {
  Library lib;
  std::mt19937 rng(0x5B05);
  Channels background;
  for (auto &c : background) c = static_cast<uint16_t>(rng() % 2048);
  for (size_t position = 0; position < 16; ++position) {
    for (uint16_t value = 0; value < 2048; ++value) {
      Channels ch = background;
      ch[position] = value;
      const Frame f = encode_v1(lib, ch);
      for (size_t k = 0; k < 16; ++k) {
        ASSERT_EQ(read_bits(f.data() + 1, 11 * k, 11), ch[k])
            << "channel " << k << ", value " << value << " at " << position;
      }
      ASSERT_EQ(f[0], kCallerByte);
      ASSERT_EQ(f[23], 0x00);
      ASSERT_EQ(f[24], 0x00);
      ASSERT_EQ(f[25], kBeyond);
    }
  }
}

// Any value above 2047 encodes exactly as 2047 does, in every position.
TEST(SbusEncoding, EveryOutOfRangeValueIsClamped) {
  Library lib;
  for (size_t position = 0; position < 16; ++position) {
    Channels ch = all(0x555);
    ch[position] = 2047;
    const Frame want = encode_v1(lib, ch);
    for (uint32_t value = 2048; value <= 65535;
         value += 1 + static_cast<uint32_t>(position)) {
      ch[position] = static_cast<uint16_t>(value);
      ASSERT_EQ(encode_v1(lib, ch), want) << value << " at " << position;
    }
  }
}

// v2 differs from v1 only in the end byte, which cycles 04 14 24 34 from a
// counter that starts at 0 when the library is loaded. v1 calls in between
// leave it alone, and the 8-bit wrap does not break the cycle.
TEST(SbusEncoding, Sbus2EndByteSequence) {
  Library lib;
  std::mt19937 rng(0x5B2);
  for (uint32_t call = 0; call < 600; ++call) {
    Channels ch;
    for (auto &c : ch) c = static_cast<uint16_t>(rng() % 2048);
    if (rng() % 3 == 0) encode_v1(lib, ch);  // must not advance the counter
    Frame f(kBufferSize, kBeyond);
    f[0] = kCallerByte;
    lib.encode_sbus_data_v2(f.data(), ch.data());
    Frame want = encode_v1(lib, ch);
    want[24] = static_cast<uint8_t>(0x04 + 0x10 * (call % 4));
    ASSERT_EQ(f, want) << "v2 call " << call;
  }
}

TEST(SbusEncoding, Sbus2StartsAt04AfterLoading) {
  Library lib;
  const Channels ch = all(1024);
  std::vector<uint8_t> ends;
  for (int n = 0; n < 5; ++n) {
    Frame f(kBufferSize, kBeyond);
    lib.encode_sbus_data_v2(f.data(), ch.data());
    encode_v1(lib, ch);
    ends.push_back(f[24]);
  }
  EXPECT_EQ(ends, (std::vector<uint8_t>{0x04, 0x14, 0x24, 0x34, 0x04}));
}

}  // namespace
}  // namespace kestrav_test
