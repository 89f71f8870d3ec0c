// Helpers shared by the stream tests: caller blocks, frame builders with
// recognisable words, and a harness that feeds the library and the model
// side by side.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <ostream>

#include "link_model.h"
#include "loader.h"

namespace kestrav_test {

// What a block holds before the library writes it.
constexpr uint16_t kUntouched = 0xBEEF;
using Block15 = std::array<uint16_t, 15>;
using Block32 = std::array<uint16_t, 32>;

template <size_t N>
std::array<uint16_t, N> words_from(uint16_t first) {
  std::array<uint16_t, N> b;
  for (size_t k = 0; k < N; ++k) b[k] = static_cast<uint16_t>(first + k);
  return b;
}

inline Block15 untouched15() {
  Block15 b;
  b.fill(kUntouched);
  return b;
}
inline Block32 untouched32() {
  Block32 b;
  b.fill(kUntouched);
  return b;
}

struct Blocks {
  Block15 b15 = untouched15();
  Block32 b32 = untouched32();
  bool operator==(const Blocks &o) const {
    return b15 == o.b15 && b32 == o.b32;
  }
};

inline std::ostream &operator<<(std::ostream &os, const Blocks &b) {
  os << "b15[0]=" << b.b15[0] << " b32[0]=" << b.b32[0];
  return os;
}

inline uint8_t feed(Library &lib, const Bytes &chunk, Blocks &blocks) {
  return lib.parse_port_data(chunk.data(), static_cast<uint8_t>(chunk.size()),
                             blocks.b15.data(), blocks.b32.data());
}

inline Bytes slice(const Bytes &b, size_t from, size_t to) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
               b.begin() + static_cast<std::ptrdiff_t>(to));
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Port data frames whose words count up from `first`.
inline Bytes type0(uint16_t first) {
  return make_frame(kPortData, make_payload(0, word_run(first, 15)));
}
inline Bytes type1(uint16_t first) {
  return make_frame(kPortData, make_payload(1, word_run(first, 32)));
}
inline Bytes type2(uint16_t first15, uint16_t first32, size_t padded_to = 95) {
  auto w = word_run(first15, 15);
  auto v = word_run(first32, 32);
  w.insert(w.end(), v.begin(), v.end());
  Bytes payload = make_payload(2, w);
  payload.resize(padded_to, 0x00);
  return make_frame(kPortData, payload);
}

// The blocks after port data frames whose words count up from first15 and
// first32 (-1: that block was never written).
inline Blocks expect(int first15, int first32) {
  Blocks b;
  if (first15 >= 0) b.b15 = words_from<15>(static_cast<uint16_t>(first15));
  if (first32 >= 0) b.b32 = words_from<32>(static_cast<uint16_t>(first32));
  return b;
}

// Feeds every chunk to the library and to the model, and records a test
// failure as soon as a result or a block differs.
class Differential {
 public:
  explicit Differential(Library &lib) : lib_(lib) {}

  uint8_t feed(const uint8_t *data, size_t n, bool with15 = true,
               bool with32 = true) {
    const uint8_t got = lib_.parse_port_data(
        data, static_cast<uint8_t>(n), with15 ? got_.b15.data() : nullptr,
        with32 ? got_.b32.data() : nullptr);
    const uint8_t want =
        model_.feed(data, n, with15 ? want_.b15.data() : nullptr,
                    with32 ? want_.b32.data() : nullptr);
    ++calls_;
    if (got != want || !(got_ == want_)) {
      diverged_ = true;
      ADD_FAILURE() << "call " << calls_ << ": result " << int(got)
                    << ", model " << int(want) << "; blocks " << got_
                    << ", model " << want_;
    }
    return got;
  }
  uint8_t feed(const Bytes &chunk) { return feed(chunk.data(), chunk.size()); }

  const Blocks &blocks() const { return got_; }
  bool diverged() const { return diverged_; }

 private:
  Library &lib_;
  StreamModel model_;
  Blocks got_, want_;
  size_t calls_ = 0;
  bool diverged_ = false;
};

}  // namespace kestrav_test
