// Command frames and port data payload layouts.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "link_model.h"
#include "loader.h"
#include "stream_helpers.h"

namespace kestrav_test {
namespace {

constexpr uint8_t kUnwritten = 0xCC;
// --- Command frames ----------------------------------------------------------

struct RequestVector {
  uint8_t arg0, arg1;
  Bytes frame;
};

TEST(CommandFrames, RequestKnownAnswers) {
  Library lib;
  const RequestVector vectors[] = {
      {0x00, 0x00, {0xFA, 0xE5, 0x02, 0x00, 0x00, 0x00, 0x5F}},
      {0xFA, 0x5F, {0xFA, 0xE5, 0x02, 0x00, 0xFA, 0x5F, 0x5F}},
      {0x12, 0x34, {0xFA, 0xE5, 0x02, 0x00, 0x12, 0x34, 0x5F}},
      {0xFF, 0x01, {0xFA, 0xE5, 0x02, 0x00, 0xFF, 0x01, 0x5F}},
  };
  for (const auto &v : vectors) {
    Bytes buf(12, kUnwritten);
    lib.request_upload_port_data(buf.data(), v.arg0, v.arg1);
    Bytes expected = v.frame;
    expected.resize(12, kUnwritten);
    EXPECT_EQ(buf, expected) << int(v.arg0) << "," << int(v.arg1);
  }
}

TEST(CommandFrames, RequestEveryArgumentPairIsPlacedUnchanged) {
  Library lib;
  for (unsigned a = 0; a < 256; ++a) {
    for (unsigned b = 0; b < 256; ++b) {
      std::array<uint8_t, 9> buf;
      buf.fill(kUnwritten);
      lib.request_upload_port_data(buf.data(), static_cast<uint8_t>(a),
                                   static_cast<uint8_t>(b));
      const std::array<uint8_t, 9> expected = {0xFA,
                                               0xE5,
                                               0x02,
                                               0x00,
                                               static_cast<uint8_t>(a),
                                               static_cast<uint8_t>(b),
                                               0x5F,
                                               kUnwritten,
                                               kUnwritten};
      ASSERT_EQ(buf, expected) << a << "," << b;
    }
  }
}

TEST(CommandFrames, StopFrameLeavesTheRestOfTheBuffer) {
  Library lib;
  for (uint8_t fill : {uint8_t{0x00}, uint8_t{0xFF}, kUnwritten}) {
    Bytes buf(9, fill);
    lib.stop_upload_port_data(buf.data());
    EXPECT_EQ(buf,
              (Bytes{0xFA, 0xE4, 0x00, 0x00, 0x5F, fill, fill, fill, fill}));
  }
}

TEST(CommandFrames, OwnFramesFedBackAreNotPortData) {
  Library lib;
  Bytes request(7), stop(5);
  lib.request_upload_port_data(request.data(), 0x00, 0x00);
  lib.stop_upload_port_data(stop.data());
  Block15 b15 = untouched15();
  Block32 b32 = untouched32();
  EXPECT_EQ(lib.parse_port_data(request.data(), 7, b15.data(), b32.data()), 0);
  EXPECT_EQ(lib.parse_port_data(stop.data(), 5, b15.data(), b32.data()), 0);
  EXPECT_EQ(b15, untouched15());
  EXPECT_EQ(b32, untouched32());
  // Nothing was retained: a port data frame's last byte alone is not taken
  // as completing anything, and a whole frame after it decodes normally.
  const Bytes frame = make_frame(kPortData, make_payload(0, word_run(7, 15)));
  EXPECT_EQ(lib.parse_port_data(frame.data() + 35, 1, b15.data(), b32.data()),
            0);
  EXPECT_EQ(lib.parse_port_data(frame.data(), 36, b15.data(), b32.data()), 1);
  EXPECT_EQ(b15, words_from<15>(7));
}

// --- Port data payloads
// --------------------------------------------------------

struct LayoutVector {
  const char *name;
  Bytes payload;
  bool with15, with32;
  Block15 want15;
  Block32 want32;
};

TEST(PortDataPayload, KnownLayouts) {
  Bytes long0 = make_payload(0, word_run(100, 15));
  long0.resize(40, 0xFA);  // trailing bytes beyond the layout are ignored
  const Bytes both = make_payload(2, [] {
    auto w = word_run(300, 15);
    auto v = word_run(400, 32);
    w.insert(w.end(), v.begin(), v.end());
    return w;
  }());
  const LayoutVector vectors[] = {
      {"type 0", make_payload(0, word_run(100, 15)), true, true,
       words_from<15>(100), untouched32()},
      {"type 1", make_payload(1, word_run(200, 32)), true, true, untouched15(),
       words_from<32>(200)},
      {"type 2", both, true, true, words_from<15>(300), words_from<32>(400)},
      {"type 2 without block15", both, false, true, untouched15(),
       words_from<32>(400)},
      {"type 2 without block32", both, true, false, words_from<15>(300),
       untouched32()},
      {"type 0 with 9 extra bytes", long0, true, true, words_from<15>(100),
       untouched32()},
      {"type 3", make_payload(3, word_run(1, 47)), true, true, untouched15(),
       untouched32()},
      {"type 0x5F", make_payload(0x5F, word_run(1, 47)), true, true,
       untouched15(), untouched32()},
      {"empty payload", Bytes{}, true, true, untouched15(), untouched32()},
      {"big-endian-looking words",
       make_payload(1, std::vector<uint16_t>(32, 0xFF00)), true, true,
       untouched15(), Block32{[] {
         Block32 b;
         b.fill(0xFF00);
         return b;
       }()}},
  };
  for (const auto &v : vectors) {
    Library lib;
    Block15 b15 = untouched15();
    Block32 b32 = untouched32();
    const Bytes frame = make_frame(kPortData, v.payload);
    ASSERT_LE(frame.size(), 255u);
    EXPECT_EQ(
        lib.parse_port_data(frame.data(), static_cast<uint8_t>(frame.size()),
                            v.with15 ? b15.data() : nullptr,
                            v.with32 ? b32.data() : nullptr),
        1)
        << v.name;
    EXPECT_EQ(b15, v.want15) << v.name;
    EXPECT_EQ(b32, v.want32) << v.name;
  }
}

// Every payload type 0..3 at every length 0..120, with every combination of
// present blocks: a block is written whole when the payload holds all of it,
// and not at all otherwise. Words are distinct so any shift shows.
TEST(PortDataPayload, ShortAndLongFramesEveryLength) {
  struct Threshold {
    uint8_t type;
    size_t need15, need32, offset32;  // 0: never written
  };
  const Threshold rules[] = {
      {0, 31, 0, 0}, {1, 0, 65, 1}, {2, 31, 95, 31}, {3, 0, 0, 0}};
  Library lib;
  for (const auto &rule : rules) {
    for (size_t length = 0; length <= 120; ++length) {
      Bytes payload(length);
      for (size_t k = 0; k < length; ++k)
        payload[k] = static_cast<uint8_t>(k * 7 + 3);
      if (length > 0) payload[0] = rule.type;
      const Bytes frame = make_frame(kPortData, payload);
      for (int present = 0; present < 4; ++present) {
        Block15 b15 = untouched15();
        Block32 b32 = untouched32();
        const bool with15 = present & 1, with32 = present & 2;
        ASSERT_EQ(lib.parse_port_data(frame.data(),
                                      static_cast<uint8_t>(frame.size()),
                                      with15 ? b15.data() : nullptr,
                                      with32 ? b32.data() : nullptr),
                  1);
        Block15 want15 = untouched15();
        Block32 want32 = untouched32();
        if (with15 && rule.need15 != 0 && length >= rule.need15) {
          for (size_t k = 0; k < 15; ++k)
            want15[k] = static_cast<uint16_t>(payload[1 + 2 * k] |
                                              payload[2 + 2 * k] << 8);
        }
        if (with32 && rule.need32 != 0 && length >= rule.need32) {
          for (size_t k = 0; k < 32; ++k)
            want32[k] =
                static_cast<uint16_t>(payload[rule.offset32 + 2 * k] |
                                      payload[rule.offset32 + 2 * k + 1] << 8);
        }
        ASSERT_EQ(b15, want15) << "type " << int(rule.type) << " L " << length;
        ASSERT_EQ(b32, want32) << "type " << int(rule.type) << " L " << length;
      }
    }
  }
}

TEST(PortDataPayload, EveryOtherTypeWritesNothing) {
  Library lib;
  for (unsigned type = 3; type < 256; ++type) {
    const Bytes frame = make_frame(
        kPortData, make_payload(static_cast<uint8_t>(type), word_run(9, 47)));
    Block15 b15 = untouched15();
    Block32 b32 = untouched32();
    ASSERT_EQ(
        lib.parse_port_data(frame.data(), static_cast<uint8_t>(frame.size()),
                            b15.data(), b32.data()),
        1);
    ASSERT_EQ(b15, untouched15()) << type;
    ASSERT_EQ(b32, untouched32()) << type;
  }
}

// A short frame must not read its own end byte, or what follows it, as words:
// the bytes after a 30-byte type 0 payload would complete the 15th word.
TEST(PortDataPayload, ShortFrameDoesNotReachIntoTheNextFrame) {
  Library lib;
  Bytes payload = make_payload(0, word_run(50, 15));
  payload.pop_back();  // 30 bytes: one short of the layout
  Bytes stream = make_frame(kPortData, payload);
  const Bytes next = make_frame(kRequest, {1, 2});
  stream.insert(stream.end(), next.begin(), next.end());
  Block15 b15 = untouched15();
  EXPECT_EQ(
      lib.parse_port_data(stream.data(), static_cast<uint8_t>(stream.size()),
                          b15.data(), nullptr),
      1);
  EXPECT_EQ(b15, untouched15());
}

}  // namespace
}  // namespace kestrav_test
