// HID game-controller reports as the tool meets them, and the mapping of
// their values onto SBUS channels. The library decodes the 17-byte report;
// what arrives around it (a report ID, other lengths) is the tool's affair.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sbus_frame.h"

namespace kestrav_tool {

constexpr size_t kHidReportSize = 17;
constexpr size_t kHidValues = 11;
// Numbered reports (and every report on Windows) carry their ID first.
constexpr size_t kHidReportWithIdSize = kHidReportSize + 1;
// The width in bits of each value in the report layout.
constexpr unsigned kHidValueBits[kHidValues] = {16, 16, 16, 12, 12, 12,
                                                12, 12, 4,  16, 8};

using HidValues = std::array<uint16_t, kHidValues>;

// What one read of a HID device holds.
struct HidReport {
  enum class Kind {
    Decoded,    // values holds the eleven values
    OtherId,    // a report ID other than the one asked for
    BadLength,  // neither 17 bytes nor 18 with an ID: never decoded in part
  } kind;
  uint8_t id = 0;  // the report ID; 0 for a 17-byte report, which has none
  HidValues values{};
  const uint8_t *body = nullptr;  // the 17 bytes decoded, for --record
};

// Takes one read of n bytes. want_id is the --report-id to keep, or -1 to
// keep every report.
HidReport take_hid_report(const uint8_t *data, size_t n, int want_id);

// --sbus-map: which report value (or constant) drives each SBUS channel.
struct SbusMapEntry {
  enum class Kind { Value, Inverted, Centre, Constant } kind;
  unsigned index = 0;   // Value, Inverted: the report value, 0 to 10
  uint16_t constant{};  // Constant: 0 to 2047
};
using SbusMap = std::vector<SbusMapEntry>;

constexpr uint16_t kSbusMapLow = 172;
constexpr uint16_t kSbusMapHigh = 1811;
constexpr uint16_t kSbusMapCentre = 992;

// Parses "0,1,~3,c,=172"; an empty string when it is good, else what is
// wrong. At most 16 entries; channels past the end are centred.
std::string parse_sbus_map(const std::string &text, SbusMap &map);

// Value v of width bits, mapped linearly and rounded to nearest onto 172 to
// 1811, in integers: 172 + (v * 1639 + max / 2) / max, max = 2^bits - 1.
uint16_t map_to_sbus(uint32_t v, unsigned bits);

// The sixteen channel values that map gives for a report's values.
Channels apply_sbus_map(const SbusMap &map, const HidValues &values);

}  // namespace kestrav_tool
