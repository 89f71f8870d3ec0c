#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Kestrav.h"
#include "port.h"

namespace kestrav_tool {

namespace {
std::string g_command_line;
}  // namespace

void set_command_line(int argc, char **argv) {
  g_command_line.clear();
  for (int k = 0; k < argc; ++k) {
    if (k > 0) g_command_line += ' ';
    g_command_line += argv[k];
  }
}

const std::string &command_line() {
  return g_command_line;
}

std::string tool_version() {
  return std::to_string(KESTRAV_VERSION_MAJOR) + "." +
         std::to_string(KESTRAV_VERSION_MINOR) + "." +
         std::to_string(KESTRAV_VERSION_PATCH);
}

std::string system_reason() {
  return std::strerror(errno);
}

uint64_t parse_number(const char *text, uint64_t max, const char *what) {
  errno = 0;
  char *end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 0);
  if (text[0] == '\0' || text[0] == '-' || *end != '\0' || errno != 0 ||
      v > max)
    throw UsageError(std::string(what) + " must be a number from 0 to " +
                     std::to_string(max) + ", not '" + text + "'");
  return v;
}

double parse_amount(const char *text, const char *what) {
  char *end = nullptr;
  const double v = std::strtod(text, &end);
  if (text[0] == '\0' || *end != '\0' || !(v >= 0) || v > 1e9)
    throw UsageError(std::string(what) +
                     " must be a non-negative number, not '" + text + "'");
  return v;
}

void check_address(const std::string &address, bool listen) {
  static const std::string kTcp = "tcp:";
  if (address.compare(0, kTcp.size(), kTcp) != 0) {
    if (listen)
      throw UsageError("--listen takes tcp:HOST:PORT, not '" + address + "'");
    return;
  }
  std::string host, port;
  const char *lowest = listen ? "0" : "1";
  const std::string form =
      std::string(" (tcp:HOST:PORT, PORT from ") + lowest + " to 65535)";
  if (!split_tcp(address, host, port) || host.empty())
    throw UsageError(address + ": not a TCP address" + form);
  const int number = parse_tcp_port(port);
  if (number < 0 || (!listen && number == 0))
    throw UsageError(address + ": '" + port + "' is not a TCP port" + form);
}

int OptionParser::parse(int argc, char **argv,
                        const std::function<void(int, const char *)> &handle) {
  std::string shorts;
  for (const option &o : options) {
    if (o.val > 0 && o.val < 128) {
      shorts += static_cast<char>(o.val);
      if (o.has_arg == required_argument) shorts += ':';
    }
  }
  std::vector<option> table = options;
  table.push_back({nullptr, 0, nullptr, 0});
  // getopt's own one-line message names the subcommand. getopt reorders
  // argv so that the operands end up behind the options.
  std::string name = std::string("kestrav ") + command;
  char *const own_name = argv[0];
  argv[0] = &name[0];
  optind = 1;
  opterr = 1;
  int c;
  try {
    while ((c = getopt_long(argc, argv, shorts.c_str(), table.data(),
                            nullptr)) != -1) {
      if (c == '?' || c == ':') throw UsageError("");
      handle(c, optarg);
    }
  } catch (...) {
    argv[0] = own_name;
    throw;
  }
  argv[0] = own_name;
  return optind;
}

Format parse_format(const char *text) {
  for (const Format f :
       {Format::Text, Format::Csv, Format::Jsonl, Format::None})
    if (std::strcmp(text, format_name(f)) == 0) return f;
  throw UsageError(
      std::string("--format must be text, csv, jsonl or none, not '") + text +
      "'");
}

const char *format_name(Format format) {
  switch (format) {
    case Format::Text:
      return "text";
    case Format::Csv:
      return "csv";
    case Format::Jsonl:
      return "jsonl";
    case Format::None:
      break;
  }
  return "none";
}

void flush_output(std::FILE *out) {
  if (std::fflush(out) == 0 && !std::ferror(out)) return;
  if (errno == EPIPE) throw OutputClosed();
  throw ToolError("standard output: " + system_reason());
}

}  // namespace kestrav_tool
