#include "sbus_frame.h"

#include <cerrno>
#include <cstdlib>

namespace kestrav_tool {

LineSettings sbus_line(bool warn_speed) {
  LineSettings line;
  line.baud = kSbusBaud;
  line.parity = LineSettings::Parity::Even;
  line.stop_bits = 2;
  line.strict_speed = !warn_speed;
  return line;
}

bool is_sbus_end_byte(uint8_t b) {
  return b == 0x00 || b == 0x04 || b == 0x14 || b == 0x24 || b == 0x34;
}

std::string parse_channels(const std::string &text, uint32_t max,
                           std::array<uint32_t, kSbusChannels> &out) {
  size_t at = 0;
  for (size_t k = 0; k < kSbusChannels; ++k) {
    const size_t comma = text.find(',', at);
    const bool last = k + 1 == kSbusChannels;
    if (last != (comma == std::string::npos))
      return "expected 16 comma-separated values";
    std::string item = text.substr(at, last ? std::string::npos : comma - at);
    const size_t first = item.find_first_not_of(" \t\r");
    const size_t end = item.find_last_not_of(" \t\r");
    if (first == std::string::npos)
      return "value " + std::to_string(k) + " is empty";
    item = item.substr(first, end - first + 1);
    char *stop = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(item.c_str(), &stop, 10);
    if (*stop != '\0' || item[0] == '-' || errno != 0)
      return "value " + std::to_string(k) + " '" + item + "' is not a number";
    if (v > max)
      return "value " + std::to_string(k) + " is " + item + ", above " +
             std::to_string(max);
    out[k] = static_cast<uint32_t>(v);
    at = comma + 1;
  }
  return "";
}

SbusFields decode_sbus(const uint8_t *frame) {
  SbusFields f{};
  // Channel k occupies bits 11k to 11k + 10 of bytes 1 to 22, read as one
  // little-endian bit stream.
  uint32_t bits = 0;
  unsigned have = 0;
  size_t byte = 1;
  for (size_t k = 0; k < kSbusChannels; ++k) {
    while (have < kSbusChannelBits) {
      bits |= static_cast<uint32_t>(frame[byte++]) << have;
      have += 8;
    }
    f.channels[k] = static_cast<uint16_t>(bits & kSbusMax);
    bits >>= kSbusChannelBits;
    have -= kSbusChannelBits;
  }
  f.flags = frame[kSbusFlagsAt];
  f.end = frame[kSbusEndAt];
  return f;
}

}  // namespace kestrav_tool
