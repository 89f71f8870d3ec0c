// Options and errors: what every subcommand's command line shares, and the
// errors main turns into messages and exit statuses.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "say.h"

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

// The run's limits (a stop, --seconds) came while it still waited to begin,
// on a FIFO with no reader: it ends with status 0 and no message.
struct EndedWhileWaiting : std::runtime_error {
  EndedWhileWaiting() : std::runtime_error("the run ended while it waited") {}
};

// The tool's version, "1.0.0": the library's version macros.
std::string tool_version();

// The system's reason for the last failed call (errno).
std::string system_reason();

// The whole command line, as main received it, for recordings.
void set_command_line(int argc, char **argv);
const std::string &command_line();

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

// The record formats of standard output. None prints no records (with
// --serve, the view still gets them).
enum class Format { Text, Csv, Jsonl, None };
Format parse_format(const char *text);
const char *format_name(Format format);

// Flushes out (standard output) and checks every write since the last
// check: OutputClosed for a closed pipe, ToolError with the reason for
// anything else. Set errno to 0 before the writes.
void flush_output(std::FILE *out);

}  // namespace kestrav_tool
