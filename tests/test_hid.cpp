// HID game-controller report decoding.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>

#include "bit_reader.h"
#include "loader.h"

namespace kestrav_test {
namespace {

using Report = std::array<uint8_t, 17>;
using Values = std::array<uint16_t, 11>;

constexpr uint16_t kUntouched = 0xBEEF;

Values untouched() {
  Values v;
  v.fill(kUntouched);
  return v;
}

struct ReportVector {
  const char *name;
  Report report;
  Values want;
};

TEST(HidReport, KnownReports) {
  Library lib;
  const ReportVector vectors[] = {
      {"counting bytes",
       {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x21, 0x43, 0x65, 0x87, 0xA9, 0xCB,
        0xED, 0x0F, 0x0E, 0x0F, 0x10},
       {0x0201, 0x0403, 0x0605, 0x321, 0x654, 0x987, 0xCBA, 0xFED, 0x0, 0x0F0E,
        0x0010}},
      {"all bits set",
       {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
       {0xFFFF, 0xFFFF, 0xFFFF, 0xFFF, 0xFFF, 0xFFF, 0xFFF, 0xFFF, 0xF, 0xFFFF,
        0xFF}},
      {"all clear", {}, {}},
      {"top nibble only",
       {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0, 0, 0},
       {0, 0, 0, 0, 0, 0, 0, 0, 0xA, 0, 0}},
  };
  for (const auto &v : vectors) {
    Values got = untouched();
    EXPECT_EQ(
        lib.parse_hid_game_controller_device(got.data(), v.report.data(), 17),
        1)
        << v.name;
    EXPECT_EQ(got, v.want) << v.name;
  }
}

// Random reports against an independent reading: bytes 6..13 as a 64-bit
// little-endian field, read bit by bit.
TEST(HidReport, RandomReports) {
  Library lib;
  std::mt19937 rng(0x41D);
  for (int n = 0; n < 100000; ++n) {
    Report r;
    for (auto &b : r) b = static_cast<uint8_t>(rng() & 0xFF);
    Values want;
    for (size_t k = 0; k < 3; ++k) {
      want[k] = static_cast<uint16_t>(read_bits(r.data(), 16 * k, 16));
    }
    for (size_t k = 0; k < 5; ++k) {
      want[3 + k] = static_cast<uint16_t>(read_bits(r.data() + 6, 12 * k, 12));
    }
    want[8] = static_cast<uint16_t>(read_bits(r.data() + 6, 60, 4));
    want[9] = static_cast<uint16_t>(read_bits(r.data() + 14, 0, 16));
    want[10] = r[16];
    Values got = untouched();
    ASSERT_EQ(lib.parse_hid_game_controller_device(got.data(), r.data(), 17),
              1);
    ASSERT_EQ(got, want) << "report " << n;
  }
}

// Every length but 17 is refused without reading the report or writing the
// values, so a null report is safe.
TEST(HidReport, EveryOtherLengthIsRefusedUntouched) {
  Library lib;
  for (unsigned len = 0; len < 256; ++len) {
    if (len == 17) continue;
    Values got = untouched();
    ASSERT_EQ(lib.parse_hid_game_controller_device(got.data(), nullptr,
                                                   static_cast<uint8_t>(len)),
              0)
        << len;
    ASSERT_EQ(got, untouched()) << len;
  }
}

}  // namespace
}  // namespace kestrav_test
