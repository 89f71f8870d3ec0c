#include "cli.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "Kestrav.h"
#include "sbus_frame.h"

namespace kestrav_tool {

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
  } else {
    return false;
  }
  return true;
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
                      double deadline) {
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
    if (r == ReadStatus::Closed)
      std::fprintf(stderr, "kestrav: %s: the peer closed the connection\n",
                   port.name().c_str());
    return r;
  }
}

Format parse_format(const char *text) {
  if (std::strcmp(text, "text") == 0) return Format::Text;
  if (std::strcmp(text, "csv") == 0) return Format::Csv;
  if (std::strcmp(text, "jsonl") == 0) return Format::Jsonl;
  throw UsageError(std::string("--format must be text, csv or jsonl, not '") +
                   text + "'");
}

namespace {
void print_words(std::FILE *out, const char *sep, const uint16_t *w, size_t n) {
  for (size_t k = 0; k < n; ++k)
    std::fprintf(out, "%s%u", k == 0 ? "" : sep, static_cast<unsigned>(w[k]));
}
}  // namespace

void RecordWriter::link_record(double t, uint64_t n, const uint16_t *block15,
                               const uint16_t *block32) {
  const unsigned long long number = n;
  switch (format_) {
    case Format::Text:
      std::fprintf(out_, "frame %llu at %.6f s\n  block15:", number, t);
      for (size_t k = 0; k < 15; ++k) std::fprintf(out_, " %5u", block15[k]);
      std::fprintf(out_, "\n  block32:");
      for (size_t k = 0; k < 32; ++k)
        std::fprintf(out_, "%s %5u", k == 16 ? "\n          " : "", block32[k]);
      std::fprintf(out_, "\n");
      break;
    case Format::Csv:
      if (!header_done_) {
        std::fprintf(out_, "t,n");
        for (int k = 0; k < 15; ++k) std::fprintf(out_, ",b15_%d", k);
        for (int k = 0; k < 32; ++k) std::fprintf(out_, ",b32_%d", k);
        std::fprintf(out_, "\n");
        header_done_ = true;
      }
      std::fprintf(out_, "%.6f,%llu,", t, number);
      print_words(out_, ",", block15, 15);
      std::fprintf(out_, ",");
      print_words(out_, ",", block32, 32);
      std::fprintf(out_, "\n");
      break;
    case Format::Jsonl:
      std::fprintf(out_, "{\"t\": %.6f, \"n\": %llu, \"block15\": [", t,
                   number);
      print_words(out_, ", ", block15, 15);
      std::fprintf(out_, "], \"block32\": [");
      print_words(out_, ", ", block32, 32);
      std::fprintf(out_, "]}\n");
      break;
  }
  std::fflush(out_);
}

void RecordWriter::sbus_record(double t, uint64_t n, const uint16_t *channels,
                               uint8_t flags, uint8_t end) {
  const unsigned long long number = n;
  const int ch17 = (flags & kFlagCh17) != 0, ch18 = (flags & kFlagCh18) != 0;
  const int lost = (flags & kFlagFrameLost) != 0;
  const int failsafe = (flags & kFlagFailsafe) != 0;
  switch (format_) {
    case Format::Text:
      std::fprintf(out_, "frame %llu at %.6f s: ", number, t);
      print_words(out_, " ", channels, kSbusChannels);
      std::fprintf(out_, "  ch17=%d ch18=%d%s%s end=0x%02X\n", ch17, ch18,
                   lost ? " frame-lost" : "", failsafe ? " failsafe" : "", end);
      break;
    case Format::Csv:
      if (!header_done_) {
        std::fprintf(out_, "t,n");
        for (int k = 0; k < 16; ++k) std::fprintf(out_, ",ch%d", k);
        std::fprintf(out_, ",ch17,ch18,frame_lost,failsafe,end\n");
        header_done_ = true;
      }
      std::fprintf(out_, "%.6f,%llu,", t, number);
      print_words(out_, ",", channels, kSbusChannels);
      std::fprintf(out_, ",%d,%d,%d,%d,%u\n", ch17, ch18, lost, failsafe, end);
      break;
    case Format::Jsonl:
      std::fprintf(out_, "{\"t\": %.6f, \"n\": %llu, \"channels\": [", t,
                   number);
      print_words(out_, ", ", channels, kSbusChannels);
      std::fprintf(out_,
                   "], \"ch17\": %d, \"ch18\": %d, \"frame_lost\": %s, "
                   "\"failsafe\": %s, \"end\": %u}\n",
                   ch17, ch18, lost ? "true" : "false",
                   failsafe ? "true" : "false", end);
      break;
  }
  std::fflush(out_);
}

bool LinkDecoder::feed(const uint8_t *data, size_t n, double t) {
  for (size_t k = 0; k < n; ++k) {
    if (limit_ != 0 && frames_ >= limit_) return false;
    if (parse_port_data(data + k, 1, block15_, block32_) == 1)
      writer_.link_record(t, ++frames_, block15_, block32_);
  }
  return limit_ == 0 || frames_ < limit_;
}

}  // namespace kestrav_tool
