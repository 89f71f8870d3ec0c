// Streams shared by the benchmarks and the instruction counter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "link_model.h"

namespace kestrav_bench {

using kestrav_test::Bytes;
using kestrav_test::kHead;
using kestrav_test::kPortData;
using kestrav_test::kRequest;
using kestrav_test::make_frame;

// Where a port data frame sits in a stream, for the copy floor.
struct FrameSpan {
  size_t end;      // index of the end byte
  size_t payload;  // index of the payload's first byte
  uint8_t type;
};

struct Stream {
  std::vector<uint8_t> bytes;
  std::vector<FrameSpan> frames;
};

// What a device uploads: port data frames of types 0, 1 and 2 in turn, with
// a request echo (0xE5 frame) as every seventh frame. Words are random.
inline Stream realistic_stream(size_t min_bytes) {
  static const size_t kPayload[3] = {31, 65, 95};
  std::mt19937 rng(1);
  Stream s;
  for (size_t n = 0, port = 0; s.bytes.size() < min_bytes || n % 7 != 0; ++n) {
    const bool echo = n % 7 == 6;
    const uint8_t type = static_cast<uint8_t>(port % 3);
    Bytes payload(echo ? 2 : kPayload[type]);
    for (auto &b : payload) b = static_cast<uint8_t>(rng());
    if (!echo) payload[0] = type;
    const size_t start = s.bytes.size();
    const Bytes frame = make_frame(echo ? kRequest : kPortData, payload);
    s.bytes.insert(s.bytes.end(), frame.begin(), frame.end());
    if (!echo) {
      s.frames.push_back({s.bytes.size() - 1, start + 4, type});
      ++port;
    }
  }
  return s;
}

// Line noise at its worst: three bytes in four are start bytes.
inline std::vector<uint8_t> hostile_stream(size_t bytes) {
  std::mt19937 rng(2);
  std::vector<uint8_t> s(bytes);
  for (auto &b : s) {
    b = rng() % 4 != 0 ? kHead : static_cast<uint8_t>(rng() % 0xFA);
  }
  return s;
}

}  // namespace kestrav_bench
