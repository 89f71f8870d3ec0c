// Hostile input: whatever a noisy link delivers, in whatever chunks, for as
// long as it runs. The reader must agree with the model throughout, and a
// valid frame that follows any garbage must still get through.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>

#include "link_model.h"
#include "loader.h"
#include "stream_helpers.h"

namespace kestrav_test {
namespace {

// A port data frame with no start or end byte inside its payload.
const Bytes &probe_frame() {
  static const Bytes frame = type0(0x1234);
  return frame;
}

// Feeds copies of the probe frame until one is decoded. Whatever the stream
// left pending is a single frame of at most 500 bytes, so the probe must get
// through within that many bytes plus two copies of itself.
void expect_recovery(Differential &diff) {
  const size_t limit = 500 / probe_frame().size() + 2;
  for (size_t copy = 0; copy <= limit; ++copy) {
    if (diff.feed(probe_frame()) == 1 &&
        diff.blocks().b15 == expect(0x1234, -1).b15) {
      return;
    }
    ASSERT_FALSE(diff.diverged());
  }
  FAIL() << "the stream stalled: no probe frame decoded after " << limit
         << " copies";
}

void feed_in_random_chunks(Differential &diff, const Bytes &stream,
                           std::mt19937 &rng, size_t max_chunk = 255) {
  size_t pos = 0;
  while (pos < stream.size()) {
    const size_t n =
        std::min<size_t>(1 + rng() % max_chunk, stream.size() - pos);
    diff.feed(stream.data() + pos, n, rng() % 4 != 0, rng() % 4 != 0);
    ASSERT_FALSE(diff.diverged()) << "at " << pos;
    pos += n;
  }
}

TEST(HostileInput, NullBlocksThroughEveryKindOfFrame) {
  std::mt19937 rng(7);
  const Bytes stream = random_stream(rng, 200000);
  Library lib;
  Differential diff(lib);
  for (size_t pos = 0; pos < stream.size(); pos += 200) {
    diff.feed(stream.data() + pos, std::min<size_t>(200, stream.size() - pos),
              false, false);
    ASSERT_FALSE(diff.diverged());
  }
  EXPECT_EQ(diff.blocks(), Blocks());  // never written
  expect_recovery(diff);
}

TEST(HostileInput, ChunksOfNothingButStartBytes) {
  Library lib;
  Differential diff(lib);
  const Bytes starts(255, 0xFA);
  for (int n = 0; n < 100; ++n) {
    EXPECT_EQ(diff.feed(starts), 0);
    ASSERT_FALSE(diff.diverged());
  }
  expect_recovery(diff);
}

// Back-to-back headers declaring every length from 0 to 65535. The short ones
// are frames (that swallow the headers behind them), the long ones are false
// starts.
TEST(HostileInput, BackToBackHeadersOfEveryLength) {
  for (uint8_t code : {kPortData, kRequest, uint8_t{0x42}}) {
    Bytes stream;
    for (uint32_t length = 0; length <= 0xFFFF; ++length) {
      const Bytes header = {kHead, code, static_cast<uint8_t>(length & 0xFF),
                            static_cast<uint8_t>(length >> 8)};
      stream.insert(stream.end(), header.begin(), header.end());
    }
    std::mt19937 rng(code);
    Library lib;
    Differential diff(lib);
    feed_in_random_chunks(diff, stream, rng);
    expect_recovery(diff);
  }
}

// Ten million random bytes of everything a noisy link carries, in random
// chunks with random null blocks, checked against the model at every call;
// every 100 kB the stream must still let a valid frame through.
TEST(HostileInput, SoakTenMillionBytes) {
  std::mt19937 rng(20261209);
  Library lib;
  Differential diff(lib);
  size_t fed = 0;
  while (fed < 10'000'000) {
    const Bytes stream = random_stream(rng, 100000);
    feed_in_random_chunks(diff, stream, rng);
    expect_recovery(diff);
    ASSERT_FALSE(HasFatalFailure());
    fed += stream.size();
  }
}

// Pure noise, without any structure, also cut into single bytes.
TEST(HostileInput, RandomBytesAnyChunking) {
  std::mt19937 rng(99);
  Library lib;
  Differential diff(lib);
  for (size_t max_chunk : {size_t{1}, size_t{3}, size_t{255}}) {
    Bytes noise(300000);
    for (auto &b : noise)
      b = static_cast<uint8_t>(rng() % 4 == 0 ? kHead : rng());
    feed_in_random_chunks(diff, noise, rng, max_chunk);
    expect_recovery(diff);
  }
}

}  // namespace
}  // namespace kestrav_test
