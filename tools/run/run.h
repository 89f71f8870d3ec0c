// Running a subcommand: the run limits, reads with deadlines, reconnecting
// a port that went away, the guard around the main loop, and input lines.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "port.h"

namespace kestrav_tool {

// What every subcommand that runs takes: --count N, --seconds S,
// --reconnect, --serve [HOST:]PORT and --record-compression.
inline const option kCountOption{"count", required_argument, nullptr, 'n'};
inline const option kSecondsOption{"seconds", required_argument, nullptr, 's'};
inline const option kReconnectOption{"reconnect", no_argument, nullptr, 'R'};
inline const option kServeOption{"serve", required_argument, nullptr, 'V'};
// --foxglove [HOST:]PORT: a live source for the tools that open MCAP.
inline const option kFoxgloveOption{"foxglove", required_argument, nullptr,
                                    'X'};
// --record-compression zstd|none: how an MCAP recording's chunks are kept.
inline const option kRecordCompressionOption{"record-compression",
                                             required_argument, nullptr, 'Z'};
struct RunLimits {
  uint64_t count = 0;     // 0: no limit (--count 0 means the same)
  double seconds = -1.0;  // negative: no limit
  bool reconnect = false;
  std::string serve;             // empty: no live view
  std::string foxglove;          // empty: no live source
  bool compress_records = true;  // --record-compression zstd (the default)
  // Takes one of those options; false for any other.
  bool take(int c, const char *arg);
  // The monotonic_seconds() at which the run ends, or -1 for none.
  double deadline(double start) const {
    return seconds >= 0 ? start + seconds : -1.0;
  }
};

// One read for a subcommand that runs until an optional deadline (a
// monotonic_seconds() value, or negative for none): Timeout once it has
// passed. A peer that closed the connection is reported on stderr.
ReadStatus read_until(Port &port, uint8_t *buf, size_t cap, size_t &got,
                      double deadline, bool report_closed = true);

// Opens the port at the start of a run. With reconnect (--reconnect), a
// port that is not there yet (no such node, a TCP bridge that refuses) or
// that drops the connection at once is waited for as a lost one is, with
// one line on stderr saying so; without it, the error goes up. Null when
// the run ended while it waited (a stop, or the deadline as below), or
// when open gave null.
std::unique_ptr<Port> open_at_start(
    const std::string &address,
    const std::function<std::unique_ptr<Port>()> &open, bool reconnect,
    double deadline);

// --reconnect: after the port at address went away, closes it at once and
// opens address again every 500 ms, with the same line settings, until it
// opens or the run ends (a stop request, or the deadline as above). The
// close comes first because a held descriptor keeps the kernel from handing
// the device's node back: an unplugged adapter would come back as
// /dev/ttyUSB1 while /dev/ttyUSB0 was retried. Says so on stderr when it
// starts and when the port is back. port is null afterwards when the run
// ended first.
void reconnect(std::unique_ptr<Port> &port, const std::string &address,
               const LineSettings &line, double deadline);
// The same with any way of opening it.
void reconnect(std::unique_ptr<Port> &port, const std::string &address,
               const std::function<std::unique_ptr<Port>()> &open,
               double deadline);

// Reads one line of any length from file, without its line end (LF or
// CR LF), into line, every byte kept (NUL bytes too).
// A line longer than limit bytes is consumed whole but comes back empty with
// too_long set. Returns false at the end of the input.
bool read_line(std::FILE *file, std::string &line, size_t limit,
               bool &too_long);

// Why a run ended, for the live view: the last read's status (Data when a
// --count was reached).
const char *end_reason(ReadStatus last);

// Runs a subcommand's main loop. A closed standard output ends it normally
// (status 0); any other error is printed and gives status 1. Either way why
// receives the reason, for the live view.
int run_guarded(const std::function<void()> &body, std::string &why);

}  // namespace kestrav_tool
