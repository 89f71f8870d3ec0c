// The device link's records: received bytes go to the library one at a
// time, so that every port data frame gets its own record and none is
// hidden by a later frame in the same call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record.h"

namespace kestrav_tool {

// The blocks start as zeros.
class LinkDecoder {
 public:
  LinkDecoder(RecordWriter &writer, uint64_t limit)
      : writer_(writer), limit_(limit) {}
  // Returns false once limit records (if limit is not 0) have been written.
  bool feed(const uint8_t *data, size_t n, double t);
  // The live run's feed: the records, then the bytes they came from as
  // the raw bytes received at t. Those are all n of them, but once the
  // limit is reached only those up to the byte that completed the last
  // record (and when standard output closes, those before its record):
  // a recording replays exactly the records the run gave.
  bool take(const uint8_t *data, size_t n, double t);
  // A new connection starts a new stream: no byte of the old one reaches a
  // record, and both blocks are zeros again. Record numbers carry on.
  void restart();
  // Port data frames decoded so far.
  uint64_t frames() const { return frames_; }
  // How many filler bytes restart() feeds: enough to reach the end byte of
  // any frame the library may still hold (it holds at most 500 bytes).
  static constexpr size_t kRestartBytes = 500;
  static constexpr uint8_t kRestartFiller = 0x00;

 private:
  RecordWriter &writer_;
  uint64_t limit_;
  uint64_t frames_ = 0;
  size_t taken_ = 0;  // bytes of the last feed that went to the library
  uint16_t block15_[15] = {0};
  uint16_t block32_[32] = {0};
};

}  // namespace kestrav_tool
