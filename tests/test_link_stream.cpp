// Stream reassembly: frames found in chunks cut anywhere, carry-over, the
// 500-byte limit, false starts, and a differential test against the model.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "link_model.h"
#include "loader.h"
#include "stream_helpers.h"

namespace kestrav_test {
namespace {

// --- Known chunk sequences ---------------------------------------------------

struct StreamCase {
  const char *name;
  std::vector<Bytes> chunks;
  std::vector<uint8_t> results;
  Blocks blocks_after;
};

TEST(StreamReassembly, KnownChunkSequences) {
  const Bytes wrong_end = {0xFA, 0xA5, 0x02, 0x00, 0x09, 0x09, 0x00};
  const Bytes big295 = type2(10, 20, 295);
  const Bytes big495 = type2(30, 40, 495);
  const Bytes other_code_with_start = {0xFA, 0x11, 0x02, 0x00,
                                       0xFA, 0xA5, 0x5F};
  // After the frame above, the carried FA A5 5F reads as a header declaring
  // 0x005F = 95 bytes once the high length byte arrives.
  const Bytes completes_carried = cat({{0x00}, slice(type2(60, 70), 4, 100)});
  // A frame of another code that wraps a whole port data frame: once the
  // outer frame is complete, the scan must look inside it in the same call.
  Bytes wrapped = type0(55);
  wrapped.resize(41, 0x00);
  const Bytes wrapper = make_frame(0x11, wrapped);
  // A carried frame whose code byte is itself a start byte: once it is
  // complete, the scan resumes at its second byte, which begins an empty
  // port data frame FA A5 00 00 5F made of its code, length and payload.
  Bytes payload165(165, 0x00);
  payload165[1] = kTail;
  const Bytes code_is_start = make_frame(kHead, payload165);
  // The same with a code that is no start byte: nothing there to find.
  const Bytes code_is_other = make_frame(0x11, payload165);
  Bytes ends_in_starts = make_payload(0, word_run(1, 14));
  ends_in_starts.push_back(0xFA);
  ends_in_starts.push_back(0xFA);
  const StreamCase cases[] = {
      {"whole frame", {type0(100)}, {1}, expect(100, -1)},
      {"split after 20",
       {slice(type0(100), 0, 20), slice(type0(100), 20, 36)},
       {0, 1},
       expect(100, -1)},
      {"two frames, one chunk",
       {cat({type0(100), type1(200)})},
       {1},
       expect(100, 200)},
      {"later frame wins",
       {cat({type0(100), type0(500)})},
       {1},
       expect(500, -1)},
      {"frame plus 10 bytes of the next",
       {cat({type0(100), slice(type0(300), 0, 10)}), slice(type0(300), 10, 36)},
       {1, 1},
       expect(300, -1)},
      {"request frame then port data",
       {cat({make_frame(kRequest, {1, 2}), type1(5)})},
       {1},
       expect(-1, 5)},
      {"wrong end byte skips the declared frame",
       {cat({wrong_end, type0(7)})},
       {1},
       expect(7, -1)},
      {"empty port data payload",
       {{0xFA, 0xA5, 0x00, 0x00, 0x5F}},
       {1},
       Blocks()},
      {"no start byte", {{0x01, 0x5F, 0xA5, 0x00}}, {0}, Blocks()},
      {"empty chunk", {Bytes{}}, {0}, Blocks()},
      {"200 carried plus 100",
       {slice(big295, 0, 200), slice(big295, 200, 300)},
       {0, 1},
       expect(10, 20)},
      {"exactly 500",
       {slice(big495, 0, 250), slice(big495, 250, 500)},
       {0, 1},
       expect(30, 40)},
      {"450 carried plus 51: taken in two pieces",
       {slice(big495, 0, 225), slice(big495, 225, 450),
        cat({slice(big495, 450, 500), {0xFA}}), slice(type0(700), 1, 36)},
       {0, 0, 1, 1},
       expect(700, 40)},
      {"start bytes at the end of a decoded payload",
       {cat({make_frame(kPortData, ends_in_starts), type1(9)}),
        slice(type0(3), 0, 4), slice(type0(3), 4, 36)},
       {1, 0, 1},
       expect(3, 9)},
      {"other code is searched inside",
       {other_code_with_start, completes_carried},
       {0, 1},
       expect(60, 70)},
      {"port data inside a carried frame of another code",
       {slice(wrapper, 0, 20), slice(wrapper, 20, 46)},
       {0, 1},
       expect(55, -1)},
      {"carried frame of code FA resumes at its second byte",
       {slice(code_is_start, 0, 10), slice(code_is_start, 10, 170)},
       {0, 1},
       Blocks()},
      {"carried frame of another code holds no frame",
       {slice(code_is_other, 0, 10), slice(code_is_other, 10, 170)},
       {0, 0},
       Blocks()},
      {"false start split over chunks",
       {{0xFA, 0xA5}, cat({{0xF0, 0x01}, type0(40)})},
       {0, 1},
       expect(40, -1)},
      {"lone start byte carried",
       {{0x00, 0xFA}, slice(type0(8), 1, 36)},
       {0, 1},
       expect(8, -1)},
  };
  for (const auto &c : cases) {
    Library lib;
    Blocks blocks;
    std::vector<uint8_t> results;
    for (const auto &chunk : c.chunks)
      results.push_back(feed(lib, chunk, blocks));
    EXPECT_EQ(results, c.results) << c.name;
    EXPECT_EQ(blocks, c.blocks_after) << c.name;
  }
}

TEST(StreamReassembly, NullDataWithZeroLength) {
  Library lib;
  Blocks blocks;
  EXPECT_EQ(feed(lib, slice(type0(1), 0, 30), blocks), 0);
  EXPECT_EQ(
      lib.parse_port_data(nullptr, 0, blocks.b15.data(), blocks.b32.data()), 0);
  EXPECT_EQ(feed(lib, slice(type0(1), 30, 36), blocks), 1);
  EXPECT_EQ(blocks, expect(1, -1));
}

// --- One stream, cut every way
// -------------------------------------------------

// A stream of port data frames separated by traffic that holds no start byte
// the reader could act on, with what each port data frame leaves in the blocks.
struct Event {
  size_t end;  // index of the frame's end byte
  int first15, first32;
};

struct KnownStream {
  Bytes bytes;
  std::vector<Event> events;
};

KnownStream known_stream() {
  KnownStream s;
  auto port = [&s](const Bytes &frame, int f15, int f32) {
    s.bytes.insert(s.bytes.end(), frame.begin(), frame.end());
    s.events.push_back({s.bytes.size() - 1, f15, f32});
  };
  auto other = [&s](const Bytes &b) {
    s.bytes.insert(s.bytes.end(), b.begin(), b.end());
  };
  port(type0(100), 100, -1);
  other(make_frame(kRequest, {0xFA, 0x5F}));
  port(type1(200), -1, 200);
  other({0x00, 0x13, 0x5F, 0xA5});
  port(type2(300, 400), 300, 400);
  other({0xFA, 0xA5, 0x02, 0x00, 0x09, 0x09, 0x00});
  other(make_frame(kStop, {}));
  port(type2(500, 600, 200), 500, 600);
  port(type0(700), 700, -1);
  port(make_frame(kPortData, {}), -1, -1);
  port(type1(800), -1, 800);
  return s;
}

// Feeds the stream in the given chunks and checks every call's result and the
// blocks after it against the frames whose end byte that chunk delivered.
void check_chunking(const KnownStream &s, const std::vector<size_t> &cuts) {
  Library lib;
  Blocks blocks;
  int last15 = -1, last32 = -1;
  size_t from = 0, next_event = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    const size_t to = i < cuts.size() ? cuts[i] : s.bytes.size();
    uint8_t want = 0;
    while (next_event < s.events.size() && s.events[next_event].end < to) {
      const Event &e = s.events[next_event++];
      if (e.first15 >= 0) last15 = e.first15;
      if (e.first32 >= 0) last32 = e.first32;
      want = 1;
    }
    ASSERT_EQ(feed(lib, slice(s.bytes, from, to), blocks), want)
        << "chunk " << from << ".." << to;
    ASSERT_EQ(blocks, expect(last15, last32)) << "chunk " << from << ".." << to;
    from = to;
  }
}

TEST(StreamReassembly, SplitAtEveryPosition) {
  const KnownStream s = known_stream();
  for (size_t cut = 0; cut <= s.bytes.size(); ++cut) {
    // A cut here, and further cuts 255 bytes apart on both sides, so that
    // every chunk stays within the 8-bit length.
    std::vector<size_t> cuts;
    for (size_t x = cut % 255; x < s.bytes.size(); x += 255) {
      if (x > 0) cuts.push_back(x);
    }
    check_chunking(s, cuts);
  }
}

TEST(StreamReassembly, EveryChunkSize) {
  const KnownStream s = known_stream();
  for (size_t size = 1; size <= 255; ++size) {
    std::vector<size_t> cuts;
    for (size_t at = size; at < s.bytes.size(); at += size) cuts.push_back(at);
    check_chunking(s, cuts);
  }
}

// --- False starts and lost chunks
// ---------------------------------------------

// A start byte declaring more than 495 payload bytes can never be a frame:
// the frame right behind it must still be found, in the same call.
TEST(StreamReassembly, EveryImpossibleLengthIsAFalseStart) {
  Library lib;
  for (uint32_t length = 496; length <= 0xFFFF; ++length) {
    Blocks blocks;
    const uint16_t first = static_cast<uint16_t>(length);
    const Bytes chunk = cat({{0xFA, 0xA5, static_cast<uint8_t>(length & 0xFF),
                              static_cast<uint8_t>(length >> 8)},
                             type0(first)});
    ASSERT_EQ(feed(lib, chunk, blocks), 1) << length;
    ASSERT_EQ(blocks, expect(first, -1)) << length;
  }
}

// Before the fix a stream of start bytes carried a frame that never fitted,
// and every later chunk was refused.
TEST(StreamReassembly, StartBytesOnlyNeverStallTheStream) {
  Library lib;
  Blocks blocks;
  const Bytes starts(255, 0xFA);
  for (int i = 0; i < 8; ++i) ASSERT_EQ(feed(lib, starts, blocks), 0);
  EXPECT_EQ(feed(lib, type2(1, 2), blocks), 1);
  EXPECT_EQ(blocks, expect(1, 2));
}

// A frame that needs the whole buffer, fed in chunks that overshoot it: every
// byte behind it is still read.
TEST(StreamReassembly, NoChunkIsLostAtTheBufferLimit) {
  for (size_t carried = 245; carried < 500; carried += 5) {
    Library lib;
    Blocks blocks;
    const Bytes big = type2(11, 22, 495);
    const Bytes stream = cat({big, type0(33), type1(44)});
    size_t from = 0;
    std::vector<uint8_t> results;
    for (size_t to : {carried / 2, carried,
                      std::min(stream.size(), carried + 255), stream.size()}) {
      results.push_back(feed(lib, slice(stream, from, to), blocks));
      from = to;
    }
    EXPECT_EQ(blocks, expect(33, 44)) << carried;
    EXPECT_EQ(results[0] | results[1], 0) << carried;
  }
}

// --- Differential test against the model
// ---------------------------------------

void run_differential(uint32_t seed, size_t stream_size, size_t max_chunk) {
  std::mt19937 rng(seed);
  const Bytes stream = random_stream(rng, stream_size);
  Library lib;
  Differential diff(lib);
  size_t pos = 0;
  while (pos < stream.size()) {
    size_t n = rng() % 16 == 0 ? 0 : 1 + rng() % max_chunk;
    n = std::min(n, stream.size() - pos);
    const bool with15 = rng() % 8 != 0, with32 = rng() % 8 != 0;
    diff.feed(stream.data() + pos, n, with15, with32);
    ASSERT_FALSE(diff.diverged()) << "seed " << seed << " at " << pos;
    pos += n;
  }
}

TEST(StreamDifferential, RandomStreamsRandomChunks) {
  for (uint32_t seed = 1; seed <= 60; ++seed)
    run_differential(seed, 40000, 255);
}

TEST(StreamDifferential, SmallChunks) {
  for (uint32_t seed = 100; seed <= 110; ++seed)
    run_differential(seed, 8000, 7);
}

}  // namespace
}  // namespace kestrav_test
