// The SBUS frame as it travels on the wire, for the tool's sender and
// monitor. The library packs bytes 1 to 24; the start byte and the flag bits
// are the host's.
//
//   0       start byte 0x0F
//   1..22   sixteen 11-bit channels, least significant bit first
//   23      flags: bit 0 ch17, bit 1 ch18, bit 2 frame lost, bit 3 failsafe
//   24      end byte: 0x00 (SBUS) or 0x04, 0x14, 0x24, 0x34 (SBUS2)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "port.h"

namespace kestrav_tool {

constexpr size_t kSbusFrameSize = 25;
constexpr size_t kSbusChannels = 16;
constexpr unsigned kSbusChannelBits = 11;
constexpr uint16_t kSbusMax = 2047;
constexpr uint8_t kSbusStart = 0x0F;
constexpr size_t kSbusFlagsAt = 23;
constexpr size_t kSbusEndAt = 24;
constexpr uint8_t kFlagCh17 = 0x01;
constexpr uint8_t kFlagCh18 = 0x02;
constexpr uint8_t kFlagFrameLost = 0x04;
constexpr uint8_t kFlagFailsafe = 0x08;
constexpr uint32_t kSbusBaud = 100000;
static_assert(kSbusChannels * kSbusChannelBits == 8 * (kSbusFlagsAt - 1),
              "sixteen 11-bit channels fill bytes 1 to 22");

using Channels = std::array<uint16_t, kSbusChannels>;
using SbusFrame = std::array<uint8_t, kSbusFrameSize>;

// The SBUS line: 100000 baud, 8 data bits, even parity, 2 stop bits. A port
// that does not keep the speed fails, or only warns with warn_speed.
LineSettings sbus_line(bool warn_speed);

// The end bytes a receiver accepts: plain SBUS and the four of SBUS2.
bool is_sbus_end_byte(uint8_t b);

// Parses "v0,v1,...,v15" (spaces allowed around each value), each at most
// max. Returns an empty string on success, else what is wrong.
std::string parse_channels(const std::string &text, uint32_t max,
                           std::array<uint32_t, kSbusChannels> &out);

struct SbusFields {
  Channels channels;
  uint8_t flags;
  uint8_t end;
};
SbusFields decode_sbus(const uint8_t *frame);

// Finds frames in a byte stream: 0x0F, 23 bytes, then a valid end byte.
// Anything else moves the search on by one byte, so that garbage or a
// truncated frame costs only its own bytes.
class SbusScanner {
 public:
  template <typename OnFrame>
  void feed(const uint8_t *data, size_t n, OnFrame on_frame) {
    pending_.insert(pending_.end(), data, data + n);
    size_t p = 0;
    while (pending_.size() - p >= kSbusFrameSize) {
      const uint8_t *f = pending_.data() + p;
      if (f[0] == kSbusStart && is_sbus_end_byte(f[kSbusEndAt])) {
        on_frame(f);
        p += kSbusFrameSize;
      } else {
        ++p;
        ++skipped_;
      }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(p));
  }
  // A new connection starts a new stream: what is left of the old one is
  // counted as skipped and never joined to the new bytes.
  void restart() {
    skipped_ += pending_.size();
    pending_.clear();
  }
  // Bytes passed over, counting what is left unfinished at the end.
  uint64_t skipped() const { return skipped_ + pending_.size(); }

 private:
  std::vector<uint8_t> pending_;
  uint64_t skipped_ = 0;
};

}  // namespace kestrav_tool
