#include "hid_report.h"

#include <cstdlib>

#include "Kestrav.h"

namespace kestrav_tool {

HidReport take_hid_report(const uint8_t *data, size_t n, int want_id) {
  HidReport r{};
  if (n == kHidReportSize) {
    r.body = data;
  } else if (n == kHidReportWithIdSize) {
    r.id = data[0];
    r.body = data + 1;
  } else {
    r.kind = HidReport::Kind::BadLength;
    return r;
  }
  if (want_id >= 0 && r.id != want_id) {
    r.kind = HidReport::Kind::OtherId;
    r.body = nullptr;
    return r;
  }
  r.kind = HidReport::Kind::Decoded;
  parse_hid_game_controller_device(r.values.data(), r.body,
                                   static_cast<uint8_t>(kHidReportSize));
  return r;
}

std::string parse_sbus_map(const std::string &text, SbusMap &map) {
  map.clear();
  size_t at = 0;
  for (;;) {
    const size_t comma = text.find(',', at);
    const std::string item = text.substr(
        at, comma == std::string::npos ? std::string::npos : comma - at);
    const std::string where =
        "entry " + std::to_string(map.size()) + " '" + item + "'";
    if (map.size() == kSbusChannels)
      return "more than " + std::to_string(kSbusChannels) + " entries";
    SbusMapEntry e{};
    std::string number = item;
    if (item == "c") {
      e.kind = SbusMapEntry::Kind::Centre;
      number.clear();
    } else if (!item.empty() && item[0] == '=') {
      e.kind = SbusMapEntry::Kind::Constant;
      number = item.substr(1);
    } else if (!item.empty() && item[0] == '~') {
      e.kind = SbusMapEntry::Kind::Inverted;
      number = item.substr(1);
    } else {
      e.kind = SbusMapEntry::Kind::Value;
    }
    if (e.kind != SbusMapEntry::Kind::Centre) {
      if (number.empty() || number.size() > 4 ||
          number.find_first_not_of("0123456789") != std::string::npos)
        return where + " is not N, ~N, c or =V";
      const unsigned long v = std::strtoul(number.c_str(), nullptr, 10);
      if (e.kind == SbusMapEntry::Kind::Constant) {
        if (v > kSbusMax) return where + ": a constant is at most 2047";
        e.constant = static_cast<uint16_t>(v);
      } else {
        if (v >= kHidValues) return where + ": a value index is 0 to 10";
        e.index = static_cast<unsigned>(v);
      }
    }
    map.push_back(e);
    if (comma == std::string::npos) return "";
    at = comma + 1;
  }
}

uint16_t map_to_sbus(uint32_t v, unsigned bits) {
  const uint32_t max = (uint32_t{1} << bits) - 1;
  const uint32_t span = kSbusMapHigh - kSbusMapLow;
  return static_cast<uint16_t>(kSbusMapLow + (v * span + max / 2) / max);
}

Channels apply_sbus_map(const SbusMap &map, const HidValues &values) {
  Channels out;
  out.fill(kSbusMapCentre);
  for (size_t k = 0; k < map.size(); ++k) {
    const SbusMapEntry &e = map[k];
    const unsigned bits = kHidValueBits[e.index];
    const uint32_t max = (uint32_t{1} << bits) - 1;
    switch (e.kind) {
      case SbusMapEntry::Kind::Value:
        out[k] = map_to_sbus(values[e.index], bits);
        break;
      case SbusMapEntry::Kind::Inverted:
        out[k] = map_to_sbus(max - values[e.index], bits);
        break;
      case SbusMapEntry::Kind::Centre:
        out[k] = kSbusMapCentre;
        break;
      case SbusMapEntry::Kind::Constant:
        out[k] = e.constant;
        break;
    }
  }
  return out;
}

}  // namespace kestrav_tool
