// What a run's records are called wherever they go out with their times:
// an MCAP recording and a live source for the tools that open MCAP. One
// definition for both, so that a live channel and a recorded one are the
// same channel: topic, encoding, schema name and JSON Schema, and the
// key/value pairs that say what the run was.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "record.h"

namespace kestrav_tool {

// A command's channels: its raw bytes, and its decoded records.
struct RecordChannel {
  const char *raw_topic;    // "/link/raw"
  const char *topic;        // "/link/port_data"
  const char *schema_name;  // "kestrav.LinkRecord"
};
RecordChannel record_channel(const std::string &command);
RecordKind record_kind(const std::string &command);

// The decoded channel's message encoding (each message is the record's
// jsonl line) and its schema's encoding.
constexpr const char *kRecordEncoding = "json";
constexpr const char *kSchemaEncoding = "jsonschema";
// The JSON Schema of one record kind's jsonl line.
std::string record_schema(RecordKind kind);

// The wall clock (ns since the Unix epoch) at the monotonic_seconds()
// value start: a run's start, from which every record's log time counts.
int64_t wall_ns_at(double start);

// What a run is, as key/value pairs: version, command_line, command, port,
// line_settings, host_os, start_time_utc and start_time_ns.
std::vector<std::pair<std::string, std::string>> run_metadata(
    const RecordingInfo &info, int64_t start_ns);

}  // namespace kestrav_tool
