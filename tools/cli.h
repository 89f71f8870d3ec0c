// What every subcommand shares: usage errors, number parsing, option tables
// and the record formats.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
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

// The reader of standard output left (a closed pipe, as with `| head`): the
// run ends as if stopped, with status 0 and no message.
struct OutputClosed : std::runtime_error {
  OutputClosed() : std::runtime_error("standard output was closed") {}
};

// The system's reason for the last failed call (errno).
std::string system_reason();

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

// A PORT or --listen address. "tcp:HOST:PORT" needs a port from 1 to 65535
// (0 too when listening, to pick a free one); anything else is a device
// path, except that listen requires tcp:. A bad address is a UsageError
// naming it.
void check_address(const std::string &address, bool listen);

// What every subcommand that runs takes: --count N, --seconds S,
// --reconnect and --serve [HOST:]PORT.
inline const option kCountOption{"count", required_argument, nullptr, 'n'};
inline const option kSecondsOption{"seconds", required_argument, nullptr, 's'};
inline const option kReconnectOption{"reconnect", no_argument, nullptr, 'R'};
inline const option kServeOption{"serve", required_argument, nullptr, 'V'};
struct RunLimits {
  uint64_t count = 0;     // 0: no limit (--count 0 means the same)
  double seconds = -1.0;  // negative: no limit
  bool reconnect = false;
  std::string serve;  // empty: no live view
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

// --record FILE: every byte received, unchanged. Each chunk is flushed as it
// comes; a failed write, flush or close is a ToolError with the reason.
class RecordFile {
 public:
  explicit RecordFile(const std::string &path);
  ~RecordFile();
  void write(const uint8_t *data, size_t n);
  void close();  // checked; the destructor closes unchecked after an error

 private:
  std::string path_;
  std::FILE *file_ = nullptr;
};

// Reads one line of any length from file, without its line end (LF or
// CR LF), into line, every byte kept (NUL bytes too).
// A line longer than limit bytes is consumed whole but comes back empty with
// too_long set. Returns false at the end of the input.
bool read_line(std::FILE *file, std::string &line, size_t limit,
               bool &too_long);

// None prints no records (with --serve, the view still gets them).
enum class Format { Text, Csv, Jsonl, None };

// Why a run ended, for the live view: the last read's status (Data when a
// --count was reached).
const char *end_reason(ReadStatus last);

// Runs a subcommand's main loop. A closed standard output ends it normally
// (status 0); any other error is printed and gives status 1. Either way why
// receives the reason, for the live view.
int run_guarded(const std::function<void()> &body, std::string &why);
Format parse_format(const char *text);
const char *format_name(Format format);

// Flushes out (standard output) and checks every write since the last
// check: OutputClosed for a closed pipe, ToolError with the reason for
// anything else. Set errno to 0 before the writes.
void flush_output(std::FILE *out);

// "v0,v1,...": values joined by sep.
std::string join_values(const char *sep, const uint16_t *values, size_t n);

// Prints one record per line (link's text: four lines) and flushes it, so
// that a reader sees each record as soon as the frame that made it arrived.
// A failed write throws: OutputClosed for a closed pipe, ToolError with the
// reason for anything else (a full disk, say).
class RecordWriter {
 public:
  enum class Kind { Link, Sbus, Hid };
  RecordWriter(std::FILE *out, Format format, Kind kind)
      : out_(out), format_(format), kind_(kind) {}
  // Also hands every record, as its jsonl line without the line end, to tap
  // (the live view), whatever the format.
  void set_tap(std::function<void(const std::string &)> tap) {
    tap_ = std::move(tap);
  }
  // Starts the output: the CSV header, even if no record follows.
  void begin();
  // Port data records: the host's two blocks after frame n.
  void link_record(double t, uint64_t n, const uint16_t *block15,
                   const uint16_t *block32);
  // SBUS records: the sixteen channels, the four flags and the end byte.
  void sbus_record(double t, uint64_t n, const uint16_t *channels,
                   uint8_t flags, uint8_t end);
  // HID records: the eleven values of one report.
  void hid_record(double t, uint64_t n, const uint16_t *values);

 private:
  // Writes one record given in every form it may take.
  void emit(const std::string &text, const std::string &csv,
            const std::string &jsonl);
  void flush();
  std::FILE *out_;
  Format format_;
  Kind kind_;
  std::function<void(const std::string &)> tap_;
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
  // A new connection starts a new stream: no byte of the old one reaches a
  // record, and both blocks are zeros again. Record numbers carry on.
  void restart();
  // How many filler bytes restart() feeds: enough to reach the end byte of
  // any frame the library may still hold (it holds at most 500 bytes).
  static constexpr size_t kRestartBytes = 500;
  static constexpr uint8_t kRestartFiller = 0x00;

 private:
  RecordWriter &writer_;
  uint64_t limit_;
  uint64_t frames_ = 0;
  uint16_t block15_[15] = {0};
  uint16_t block32_[32] = {0};
};

}  // namespace kestrav_tool
