#include "cli.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "Kestrav.h"
#include "address.h"
#include "hid_report.h"
#include "sbus_frame.h"

namespace kestrav_tool {

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

bool RunLimits::take(int c, const char *arg) {
  if (c == kCountOption.val) {
    count = parse_number(arg, UINT32_MAX, "--count");
  } else if (c == kSecondsOption.val) {
    seconds = parse_amount(arg, "--seconds");
  } else if (c == kReconnectOption.val) {
    reconnect = true;
  } else if (c == kServeOption.val) {
    check_serve_address(arg);
    serve = arg;
  } else {
    return false;
  }
  return true;
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

ReadStatus read_until(Port &port, uint8_t *buf, size_t cap, size_t &got,
                      double deadline, bool report_closed) {
  for (;;) {
    got = 0;
    int timeout_ms = -1;
    if (deadline >= 0) {
      const double left = deadline - monotonic_seconds();
      if (left <= 0) return ReadStatus::Timeout;
      timeout_ms = static_cast<int>(std::ceil(left * 1000.0));
    }
    const ReadStatus r = port.read(buf, cap, got, timeout_ms);
    if (r == ReadStatus::Timeout) continue;  // woke a little early
    if (r == ReadStatus::Closed && report_closed)
      std::fprintf(stderr, "kestrav: %s: the peer closed the connection\n",
                   port.name().c_str());
    return r;
  }
}

namespace {

// Sleeps until next, or until the device node at address appears, which
// is looked for every 50 ms. False when a stop came.
bool sleep_until_try(const std::string &address, double next) {
  constexpr double kLookSeconds = 0.05;
  bool was_there = device_node_exists(address);
  for (;;) {
    const double look = monotonic_seconds() + kLookSeconds;
    if (look >= next) return sleep_until(next);
    if (!sleep_until(look)) return false;
    const bool there = device_node_exists(address);
    if (there && !was_there) return true;
    was_there = there;
  }
}

// Opens address every half second until it opens or the run ends. A device
// node that appears between two tries is opened at once: an adapter that
// comes back is in use within 50 ms of its node, not up to 0.5 s later.
std::unique_ptr<Port> retry_open(
    const std::string &address,
    const std::function<std::unique_ptr<Port>()> &open, double deadline) {
  constexpr double kRetrySeconds = 0.5;
  std::fprintf(stderr, "kestrav: %s: gone; opening it again every %.1f s\n",
               address.c_str(), kRetrySeconds);
  for (double next = monotonic_seconds() + kRetrySeconds;;
       next = std::max(next + kRetrySeconds, monotonic_seconds())) {
    if (deadline >= 0 && next >= deadline) {
      sleep_until(deadline);
      return nullptr;
    }
    if (!sleep_until_try(address, next)) return nullptr;
    try {
      std::unique_ptr<Port> port = open();
      if (!port) continue;
      std::fprintf(stderr, "kestrav: %s: back\n", address.c_str());
      return port;
    } catch (const PortError &) {
      // Not there yet: the next try says nothing more.
    }
  }
}

}  // namespace

void reconnect(std::unique_ptr<Port> &port, const std::string &address,
               const LineSettings &line, double deadline) {
  reconnect(
      port, address, [&] { return open_port(address, line); }, deadline);
}

void reconnect(std::unique_ptr<Port> &port, const std::string &address,
               const std::function<std::unique_ptr<Port>()> &open,
               double deadline) {
  port.reset();  // before anything else: see the header
  port = retry_open(address, open, deadline);
}

RecordFile::RecordFile(const std::string &path) : path_(path) {
  if (path.empty()) return;
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr)
    throw ToolError(path +
                    ": cannot create the record file: " + system_reason());
}

RecordFile::~RecordFile() {
  if (file_ != nullptr) std::fclose(file_);
}

void RecordFile::write(const uint8_t *data, size_t n) {
  if (file_ == nullptr) return;
  if (std::fwrite(data, 1, n, file_) != n || std::fflush(file_) != 0)
    throw ToolError(path_ +
                    ": cannot write the record file: " + system_reason());
}

void RecordFile::close() {
  std::FILE *file = file_;
  file_ = nullptr;
  if (file != nullptr && std::fclose(file) != 0)
    throw ToolError(path_ +
                    ": cannot close the record file: " + system_reason());
}

bool read_line(std::FILE *file, std::string &line, size_t limit,
               bool &too_long) {
  line.clear();
  too_long = false;
  bool any = false;
  // A byte at a time: a NUL byte is a byte of the line like any other
  // (fgets would end the line there and join the rest to the next).
  for (int c; (c = std::getc(file)) != EOF;) {
    any = true;
    if (c == '\n') break;
    if (too_long) continue;  // the rest of a longer line is read and dropped
    line.push_back(static_cast<char>(c));
    if (line.size() > limit + 1) {  // room for a CR before the line end
      too_long = true;
      line.clear();
    }
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() > limit) {
    too_long = true;
    line.clear();
  }
  return any;
}

Format parse_format(const char *text) {
  for (const Format f :
       {Format::Text, Format::Csv, Format::Jsonl, Format::None})
    if (std::strcmp(text, format_name(f)) == 0) return f;
  throw UsageError(
      std::string("--format must be text, csv, jsonl or none, not '") + text +
      "'");
}

int run_guarded(const std::function<void()> &body, std::string &why) {
  try {
    body();
    return 0;
  } catch (const OutputClosed &e) {
    why = e.what();  // the reader left (| head): a normal end
    return 0;
  } catch (const std::runtime_error &e) {
    std::fprintf(stderr, "kestrav: %s\n", e.what());
    why = e.what();
    return 1;
  }
}

const char *end_reason(ReadStatus last) {
  switch (last) {
    case ReadStatus::Data:
      return "--count reached";
    case ReadStatus::Timeout:
      return "--seconds reached";
    case ReadStatus::Stopped:
      return "stopped (Ctrl-C or a signal)";
    case ReadStatus::Closed:
      break;
  }
  return "the port went away or its peer closed the connection";
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

namespace {

// printf into a string.
void append(std::string &out, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void append(std::string &out, const char *format, ...) {
  char buf[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n > 0) out.append(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
}

}  // namespace

std::string join_values(const char *sep, const uint16_t *w, size_t n) {
  std::string out;
  for (size_t k = 0; k < n; ++k)
    append(out, "%s%u", k == 0 ? "" : sep, static_cast<unsigned>(w[k]));
  return out;
}

void flush_output(std::FILE *out) {
  if (std::fflush(out) == 0 && !std::ferror(out)) return;
  if (errno == EPIPE) throw OutputClosed();
  throw ToolError("standard output: " + system_reason());
}

void RecordWriter::begin() {
  if (format_ != Format::Csv) return;
  errno = 0;
  std::string header = "t,n";
  if (kind_ == Kind::Link) {
    for (int k = 0; k < 15; ++k) append(header, ",b15_%d", k);
    for (int k = 0; k < 32; ++k) append(header, ",b32_%d", k);
  } else if (kind_ == Kind::Sbus) {
    for (unsigned k = 0; k < kSbusChannels; ++k) append(header, ",ch%u", k);
    header += ",ch17,ch18,frame_lost,failsafe,end";
  } else {
    for (unsigned k = 0; k < kHidValues; ++k) append(header, ",v%u", k);
  }
  header += '\n';
  std::fputs(header.c_str(), out_);
  flush();
}

void RecordWriter::flush() {
  flush_output(out_);
}

void RecordWriter::emit(const std::string &text, const std::string &csv,
                        const std::string &jsonl) {
  if (tap_) tap_(jsonl);
  if (format_ == Format::None) return;
  errno = 0;
  const std::string &line = format_ == Format::Text  ? text
                            : format_ == Format::Csv ? csv
                                                     : jsonl;
  std::fputs(line.c_str(), out_);
  if (format_ != Format::Text) std::fputc('\n', out_);
  flush();
}

void RecordWriter::link_record(double t, uint64_t n, const uint16_t *block15,
                               const uint16_t *block32) {
  const unsigned long long number = n;
  std::string text, csv, jsonl;
  if (format_ == Format::Text) {
    append(text, "frame %llu at %.6f s\n  block15:", number, t);
    for (size_t k = 0; k < 15; ++k) append(text, " %5u", block15[k]);
    text += "\n  block32:";
    for (size_t k = 0; k < 32; ++k)
      append(text, "%s %5u", k == 16 ? "\n          " : "", block32[k]);
    text += "\n";
  }
  if (format_ == Format::Csv) {
    append(csv, "%.6f,%llu,", t, number);
    csv += join_values(",", block15, 15) + "," + join_values(",", block32, 32);
  }
  if (format_ == Format::Jsonl || tap_) {
    append(jsonl, "{\"t\": %.6f, \"n\": %llu, \"block15\": [", t, number);
    jsonl += join_values(", ", block15, 15) + "], \"block32\": [" +
             join_values(", ", block32, 32) + "]}";
  }
  emit(text, csv, jsonl);
}

void RecordWriter::sbus_record(double t, uint64_t n, const uint16_t *channels,
                               uint8_t flags, uint8_t end) {
  const unsigned long long number = n;
  const int ch17 = (flags & kFlagCh17) != 0, ch18 = (flags & kFlagCh18) != 0;
  const int lost = (flags & kFlagFrameLost) != 0;
  const int failsafe = (flags & kFlagFailsafe) != 0;
  std::string text, csv, jsonl;
  if (format_ == Format::Text) {
    append(text, "frame %llu at %.6f s: ", number, t);
    text += join_values(" ", channels, kSbusChannels);
    append(text, "  ch17=%d ch18=%d%s%s end=0x%02X\n", ch17, ch18,
           lost ? " frame-lost" : "", failsafe ? " failsafe" : "", end);
  }
  if (format_ == Format::Csv) {
    append(csv, "%.6f,%llu,", t, number);
    csv += join_values(",", channels, kSbusChannels);
    append(csv, ",%d,%d,%d,%d,%u", ch17, ch18, lost, failsafe, end);
  }
  if (format_ == Format::Jsonl || tap_) {
    append(jsonl, "{\"t\": %.6f, \"n\": %llu, \"channels\": [", t, number);
    jsonl += join_values(", ", channels, kSbusChannels);
    append(jsonl,
           "], \"ch17\": %d, \"ch18\": %d, \"frame_lost\": %s, "
           "\"failsafe\": %s, \"end\": %u}",
           ch17, ch18, lost ? "true" : "false", failsafe ? "true" : "false",
           end);
  }
  emit(text, csv, jsonl);
}

void RecordWriter::hid_record(double t, uint64_t n, const uint16_t *values) {
  const unsigned long long number = n;
  std::string text, csv, jsonl;
  if (format_ == Format::Text) {
    append(text, "report %llu at %.6f s:", number, t);
    for (size_t k = 0; k < kHidValues; ++k)
      append(text, " %5u", static_cast<unsigned>(values[k]));
    text += "\n";
  }
  if (format_ == Format::Csv) {
    append(csv, "%.6f,%llu,", t, number);
    csv += join_values(",", values, kHidValues);
  }
  if (format_ == Format::Jsonl || tap_) {
    append(jsonl, "{\"t\": %.6f, \"n\": %llu, \"values\": [", t, number);
    jsonl += join_values(", ", values, kHidValues) + "]}";
  }
  emit(text, csv, jsonl);
}

bool LinkDecoder::feed(const uint8_t *data, size_t n, double t) {
  for (size_t k = 0; k < n; ++k) {
    if (limit_ != 0 && frames_ >= limit_) return false;
    if (parse_port_data(data + k, 1, block15_, block32_) == 1)
      writer_.link_record(t, ++frames_, block15_, block32_);
  }
  return limit_ == 0 || frames_ < limit_;
}

// The library keeps an unfinished frame between calls and has no reset, so
// the frame is ended here with bytes that complete it and make it fail. A
// frame the library carries declares at most 495 payload bytes (a longer
// one is a false start), so the filler reaches its end byte within 500
// bytes; that end byte is then 0x00, not 0x5F, and the library skips the
// frame whole, whatever its code, and the zeros after it belong to no frame
// and are dropped. A filler of 0x00 never makes a start byte, and a header
// it completes declares a length the filler itself can reach.
void LinkDecoder::restart() {
  static_assert(kRestartFiller != 0xFA && kRestartFiller != 0x5F,
                "the filler must be neither a start byte nor an end byte");
  for (size_t k = 0; k < kRestartBytes; ++k)
    parse_port_data(&kRestartFiller, 1, nullptr, nullptr);
  std::fill(std::begin(block15_), std::end(block15_), uint16_t{0});
  std::fill(std::begin(block32_), std::end(block32_), uint16_t{0});
}

}  // namespace kestrav_tool
