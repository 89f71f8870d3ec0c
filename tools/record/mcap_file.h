// MCAP recordings (--record FILE.mcap) and reading them back (inspect).
// The one translation unit that includes the MCAP library.
//
// A file holds:
// - a metadata record "kestrav": the tool's version, the command line, the
//   command, the port or device and its line settings, the host's OS and
//   the start time (UTC, and nanoseconds since the Unix epoch);
// - a raw channel: every chunk as received (each report, for hid; each
//   frame as sent, for sbus), schemaless, with the command and the start
//   time in its metadata; an empty message marks a new connection;
// - a decoded channel: every record, as its jsonl line, with a JSON Schema;
// each message's log time is the start time plus the record's t, so the
// times never go backwards, and a decoded message's sequence is its n.
// Chunks are closed, flushed and synced at least every 0.5 s, so a SIGKILL
// or a power loss loses at most the last half second; a clean end writes
// the summary and the index.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "record.h"

namespace kestrav_tool {

std::unique_ptr<RecordSink> open_mcap_recording(const std::string &path,
                                                const RecordingInfo &info,
                                                double deadline);

// A record's t (seconds since the run's start) as the nanoseconds after
// the start that its messages' log times hold: t to the nearest ns, such
// that ns / 1e9 printed to the microsecond, as the records print t, gives
// back exactly the t that the record printed.
int64_t recording_ns(double t);

// Whether bytes (n of them) start with MCAP's magic bytes, and how many
// bytes that takes.
bool is_mcap_magic(const uint8_t *bytes, size_t n);
size_t mcap_magic_size();

// Reads an MCAP recording, file (open at path, which names it in messages,
// and seekable), in file order. start receives what the file says of the
// run, first; each receives every message of its raw channel with its t
// (seconds since the run's start). Every CRC the file has is checked: a
// damaged chunk is reported on stderr with its offset and left out whole,
// and the call then ends with a ToolError. A file cut short is read up to
// where it ends, and said so on stderr. A file that is no recording of
// this tool, or of a command it does not know, or whose chunks are
// compressed, is a ToolError naming the file and what is wrong.
void read_mcap_recording(
    const std::string &path, std::FILE *file,
    const std::function<void(const RecordingInfo &info)> &start,
    const std::function<void(double t, const uint8_t *data, size_t n)> &each);

}  // namespace kestrav_tool
