#include "link_decoder.h"

#include <algorithm>
#include <iterator>

#include "Kestrav.h"

namespace kestrav_tool {

bool LinkDecoder::feed(const uint8_t *data, size_t n, double t) {
  for (taken_ = 0; taken_ < n; ++taken_) {
    if (limit_ != 0 && frames_ >= limit_) return false;
    if (parse_port_data(data + taken_, 1, block15_, block32_) == 1)
      writer_.link_record(t, ++frames_, block15_, block32_);
  }
  return limit_ == 0 || frames_ < limit_;
}

bool LinkDecoder::take(const uint8_t *data, size_t n, double t) {
  bool more = false;
  try {
    more = feed(data, n, t);
  } catch (const OutputClosed &) {
    writer_.raw(t, data, taken_);
    throw;
  }
  writer_.raw(t, data, taken_);
  return more;
}

// The library keeps an unfinished frame between calls and has no reset, so
// the frame is ended here with bytes that complete it and make it fail. A
// frame the library carries declares at most 495 payload bytes (a longer
// one is a false start), so the filler reaches its end byte within 500
// bytes; that end byte is then 0x00, not 0x5F, and the library skips the
// frame whole, whatever its code, and the zeros after it belong to no frame
// and are dropped. A filler of 0x00 never makes a start byte, and a header
// it completes declares a length the filler itself can reach.
void LinkDecoder::restart() {
  static_assert(kRestartFiller != 0xFA && kRestartFiller != 0x5F,
                "the filler must be neither a start byte nor an end byte");
  for (size_t k = 0; k < kRestartBytes; ++k)
    parse_port_data(&kRestartFiller, 1, nullptr, nullptr);
  std::fill(std::begin(block15_), std::end(block15_), uint16_t{0});
  std::fill(std::begin(block32_), std::end(block32_), uint16_t{0});
}

}  // namespace kestrav_tool
