#include "channels.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

#if !defined(_WIN32)
#include <sys/utsname.h>
#endif

#include "port.h"

namespace kestrav_tool {
namespace {

std::string words_schema(const char *name, int count, int max) {
  return std::string("\"") + name +
         "\": {\"type\": \"array\", \"items\": {\"type\": \"integer\", "
         "\"minimum\": 0, \"maximum\": " +
         std::to_string(max) + "}, \"minItems\": " + std::to_string(count) +
         ", \"maxItems\": " + std::to_string(count) + "}";
}

}  // namespace

std::string record_schema(RecordKind kind) {
  std::string props =
      "\"t\": {\"type\": \"number\", \"description\": \"seconds since the "
      "run's start\"}, \"n\": {\"type\": \"integer\", \"minimum\": 1}, ";
  std::string required = "\"t\", \"n\", ";
  if (kind == RecordKind::Link) {
    props += words_schema("block15", 15, 65535) + ", " +
             words_schema("block32", 32, 65535);
    required += "\"block15\", \"block32\"";
  } else if (kind == RecordKind::Sbus) {
    props += words_schema("channels", 16, 2047) +
             ", \"ch17\": {\"type\": \"integer\", \"enum\": [0, 1]}, "
             "\"ch18\": {\"type\": \"integer\", \"enum\": [0, 1]}, "
             "\"frame_lost\": {\"type\": \"boolean\"}, "
             "\"failsafe\": {\"type\": \"boolean\"}, "
             "\"end\": {\"type\": \"integer\", \"minimum\": 0, \"maximum\": "
             "255}";
    required +=
        "\"channels\", \"ch17\", \"ch18\", \"frame_lost\", \"failsafe\", "
        "\"end\"";
  } else {
    props += words_schema("values", 11, 65535);
    required += "\"values\"";
  }
  return "{\"$schema\": \"https://json-schema.org/draft/2020-12/schema\", "
         "\"type\": \"object\", \"properties\": {" +
         props + "}, \"required\": [" + required +
         "], \"additionalProperties\": false}";
}

namespace {

std::string utc_text(int64_t ns) {
  const std::time_t seconds = static_cast<std::time_t>(ns / 1000000000);
  std::tm tm{};
#if defined(_WIN32)
  gmtime_s(&tm, &seconds);
#else
  gmtime_r(&seconds, &tm);
#endif
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  char fraction[16];
  std::snprintf(fraction, sizeof fraction, ".%09lldZ",
                static_cast<long long>(ns % 1000000000));
  return std::string(text) + fraction;
}

std::string host_os() {
#if defined(_WIN32)
  return "Windows";
#else
  utsname u{};
  if (uname(&u) != 0) return "POSIX";
  return std::string(u.sysname) + " " + u.release + " " + u.machine;
#endif
}

}  // namespace

RecordChannel record_channel(const std::string &command) {
  if (command == "link")
    return {"/link/raw", "/link/port_data", "kestrav.LinkRecord"};
  if (command == "sbus-monitor")
    return {"/sbus/raw", "/sbus/frame", "kestrav.SbusFrame"};
  if (command == "hid") return {"/hid/raw", "/hid/report", "kestrav.HidReport"};
  return {"/sbus/sent_bytes", "/sbus/sent", "kestrav.SbusFrame"};
}

RecordKind record_kind(const std::string &command) {
  return command == "link"  ? RecordKind::Link
         : command == "hid" ? RecordKind::Hid
                            : RecordKind::Sbus;
}

int64_t wall_ns_at(double start) {
  const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  return now - std::llround((monotonic_seconds() - start) * 1e9);
}

std::vector<std::pair<std::string, std::string>> run_metadata(
    const RecordingInfo &info, int64_t start_ns) {
  return {{"version", tool_version()},
          {"command_line", command_line()},
          {"command", info.command},
          {"port", info.port},
          {"line_settings", info.line},
          {"host_os", host_os()},
          {"start_time_utc", utc_text(start_ns)},
          {"start_time_ns", std::to_string(start_ns)}};
}

}  // namespace kestrav_tool
