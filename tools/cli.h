// What every subcommand shares: usage errors, number parsing, option tables
// and the record formats.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "port.h"

namespace kestrav_tool {

// A bad command line: main prints the message and the usage, and exits 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A failure that is not the port's (a file that cannot be written, say):
// main prints the message and exits 1.
struct ToolError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Decimal or 0x-prefixed hexadecimal, at most max.
uint64_t parse_number(const char *text, uint64_t max, const char *what);
// A non-negative number, fractions allowed (seconds, milliseconds, hertz).
double parse_amount(const char *text, const char *what);

// Runs getopt_long over one subcommand's arguments (argv[0] is the
// subcommand). handle gets each option's value and optarg; a bad or unknown
// option throws UsageError. Returns the index of the first operand.
struct OptionParser {
  const char *command;  // "link", for messages
  std::vector<option> options;
  int parse(int argc, char **argv,
            const std::function<void(int, const char *)> &handle);
};

// --count N and --seconds S, which every subcommand that runs takes.
inline const option kCountOption{"count", required_argument, nullptr, 'n'};
inline const option kSecondsOption{"seconds", required_argument, nullptr, 's'};
struct RunLimits {
  uint64_t count = 0;     // 0: no limit
  double seconds = -1.0;  // negative: no limit
  // Takes the value of --count or --seconds; false for any other option.
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
                      double deadline);

enum class Format { Text, Csv, Jsonl };
Format parse_format(const char *text);

// Prints one record per line (text: three lines) and flushes it, so that a
// reader sees each record as soon as the frame that made it arrived.
class RecordWriter {
 public:
  RecordWriter(std::FILE *out, Format format) : out_(out), format_(format) {}
  // Port data records: the host's two blocks after frame n.
  void link_record(double t, uint64_t n, const uint16_t *block15,
                   const uint16_t *block32);
  // SBUS records: the sixteen channels, the four flags and the end byte.
  void sbus_record(double t, uint64_t n, const uint16_t *channels,
                   uint8_t flags, uint8_t end);

 private:
  std::FILE *out_;
  Format format_;
  bool header_done_ = false;
};

// Feeds received bytes to the library one at a time, so that every port
// data frame gets its own record and none is hidden by a later frame in the
// same call. The blocks start as zeros.
class LinkDecoder {
 public:
  LinkDecoder(RecordWriter &writer, uint64_t limit)
      : writer_(writer), limit_(limit) {}
  // Returns false once limit records (if limit is not 0) have been written.
  bool feed(const uint8_t *data, size_t n, double t);

 private:
  RecordWriter &writer_;
  uint64_t limit_;
  uint64_t frames_ = 0;
  uint16_t block15_[15] = {0};
  uint16_t block32_[32] = {0};
};

}  // namespace kestrav_tool
