// kestrav sbus: drives an SBUS output from a serial port.
//
// Each frame is the start byte 0x0F, bytes 1 to 24 from the library's
// encoder, then the flag options ORed into byte 23. Frames go out one write
// each at absolute deadlines on the monotonic clock, so the period never
// drifts; a late tick skips to the next deadline instead of bursting.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Kestrav.h"
#include "cli.h"
#include "commands.h"
#include "port.h"
#include "sbus_frame.h"

namespace kestrav_tool {
namespace {

constexpr uint16_t kCentre = 1024;
constexpr uint32_t kStdMax = 65535;
// A frame takes 3 ms on the wire (25 bytes of 12 bits at 100000 baud), and
// receivers need a gap after it.
constexpr double kMinPeriodMs = 4.0;
constexpr double kDefaultPeriodMs = 14.0;

struct SbusOptions {
  std::string port;
  std::array<uint32_t, kSbusChannels> values;
  std::string input;
  bool std_scale = false;
  bool v2 = false;
  double period_ms = kDefaultPeriodMs;
  uint8_t flags = 0;
  RunLimits limits;
  bool warn_speed = false;
};

uint32_t scale_max(bool std_scale) {
  return std_scale ? kStdMax : kSbusMax;
}

SbusOptions parse(int argc, char **argv) {
  SbusOptions o;
  o.values.fill(kCentre);
  const char *values = nullptr;
  OptionParser p{"sbus",
                 {{"values", required_argument, nullptr, 'v'},
                  {"input", required_argument, nullptr, 'i'},
                  {"scale", required_argument, nullptr, 'S'},
                  {"v2", no_argument, nullptr, '2'},
                  {"period", required_argument, nullptr, 'p'},
                  {"ch17", no_argument, nullptr, 'a'},
                  {"ch18", no_argument, nullptr, 'b'},
                  {"frame-lost", no_argument, nullptr, 'l'},
                  {"failsafe", no_argument, nullptr, 'f'},
                  kCountOption,
                  kSecondsOption,
                  {"warn-speed", no_argument, nullptr, 'w'}}};
  const int first = p.parse(argc, argv, [&](int c, const char *arg) {
    if (o.limits.take(c, arg)) return;
    switch (c) {
      case 'v':
        values = arg;
        break;
      case 'i':
        o.input = arg;
        break;
      case 'S':
        if (std::strcmp(arg, "std") == 0) {
          o.std_scale = true;
        } else if (std::strcmp(arg, "sbus") != 0) {
          throw UsageError(std::string("--scale must be sbus or std, not '") +
                           arg + "'");
        }
        break;
      case '2':
        o.v2 = true;
        break;
      case 'p':
        o.period_ms = parse_amount(arg, "--period");
        if (o.period_ms < kMinPeriodMs)
          throw UsageError(
              "--period must be at least 4 ms: a frame takes 3 ms on the "
              "wire and receivers need a gap");
        break;
      case 'a':
        o.flags |= kFlagCh17;
        break;
      case 'b':
        o.flags |= kFlagCh18;
        break;
      case 'l':
        o.flags |= kFlagFrameLost;
        break;
      case 'f':
        o.flags |= kFlagFailsafe;
        break;
      case 'w':
        o.warn_speed = true;
        break;
    }
  });
  if (first != argc - 1) throw UsageError("sbus takes exactly one PORT");
  o.port = argv[first];
  if (values != nullptr) {
    // Never clamped silently: a value beyond its scale is refused.
    const std::string why =
        parse_channels(values, scale_max(o.std_scale), o.values);
    if (!why.empty()) throw UsageError("--values: " + why);
  }
  return o;
}

Channels to_sbus(const std::array<uint32_t, kSbusChannels> &values,
                 bool std_scale) {
  Channels in{};
  for (size_t k = 0; k < kSbusChannels; ++k)
    in[k] = static_cast<uint16_t>(values[k]);
  if (!std_scale) return in;
  Channels out{};
  convert_std_sbus_data(out.data(), in.data());
  return out;
}

// Reads lines of values in the background; the sender takes the latest good
// one on each tick. The reader may still be blocked in a read when the run
// ends, so what it touches is shared with it and outlives the sender.
class InputLines {
 public:
  InputLines(const std::string &path, bool std_scale)
      : state_(std::make_shared<State>()) {
    std::FILE *file = stdin;
    if (path != "-") {
      file = std::fopen(path.c_str(), "r");
      if (file == nullptr) throw ToolError(path + ": cannot open the file");
    }
    std::thread([state = state_, file, std_scale] {
      read_all(*state, file, std_scale);
    }).detach();
  }

  // Takes the latest good values, if a new line came; false once the input
  // has ended and everything in it has been taken.
  bool take(Channels &channels) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->fresh) {
      channels = state_->latest;
      state_->fresh = false;
      return true;
    }
    return !state_->ended;
  }

 private:
  struct State {
    std::mutex mutex;
    Channels latest{};
    bool fresh = false;
    bool ended = false;
  };

  static void read_all(State &state, std::FILE *file, bool std_scale) {
    char line[1024];
    unsigned number = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
      ++number;
      std::string text(line);
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
      if (text.find_first_not_of(" \t") == std::string::npos) continue;
      std::array<uint32_t, kSbusChannels> values{};
      const std::string why =
          parse_channels(text, scale_max(std_scale), values);
      if (!why.empty()) {
        std::fprintf(stderr,
                     "kestrav sbus: input line %u ignored: %s; the last good "
                     "values go on\n",
                     number, why.c_str());
        continue;
      }
      std::lock_guard<std::mutex> lock(state.mutex);
      state.latest = to_sbus(values, std_scale);
      state.fresh = true;
    }
    std::lock_guard<std::mutex> lock(state.mutex);
    state.ended = true;
  }

  std::shared_ptr<State> state_;
};

int run(int argc, char **argv) {
  const SbusOptions o = parse(argc, argv);
  install_stop_handlers();
  std::unique_ptr<InputLines> input;
  if (!o.input.empty())
    input = std::make_unique<InputLines>(o.input, o.std_scale);
  std::unique_ptr<Port> port = open_port(o.port, sbus_line(o.warn_speed));

  Channels channels = to_sbus(o.values, o.std_scale);
  const double period = o.period_ms / 1000.0;
  const double start = monotonic_seconds();
  const double end = o.limits.deadline(start);
  uint64_t sent = 0;
  for (uint64_t tick = 0;; ++tick) {
    const double due = start + static_cast<double>(tick) * period;
    if (end >= 0 && due >= end) break;
    if (!sleep_until(due)) break;
    if (input && !input->take(channels)) break;  // end of input
    SbusFrame frame{};
    frame[0] = kSbusStart;
    (o.v2 ? encode_sbus_data_v2 : encode_sbus_data_v1)(frame.data(),
                                                       channels.data());
    frame[kSbusFlagsAt] = static_cast<uint8_t>(frame[kSbusFlagsAt] | o.flags);
    port->write(frame.data(), frame.size());
    if (o.limits.count != 0 && ++sent >= o.limits.count) break;
    // Late: go on at the next deadline still ahead, without a burst.
    const double behind = (monotonic_seconds() - start) / period;
    if (behind > static_cast<double>(tick + 1))
      tick = static_cast<uint64_t>(std::floor(behind));
  }
  port->drain();
  return 0;  // the port's settings come back as it goes
}

}  // namespace

const Command kSbusCommand = {
    "sbus", run, "send SBUS frames out of a serial port, paced",
    "usage: kestrav sbus PORT [options]\n"
    "\n"
    "Sends SBUS frames at 100000 baud, 8 data bits, even parity, 2 stop bits\n"
    "(bytes go out as they are over tcp:HOST:PORT), one every --period ms on\n"
    "absolute deadlines. Byte 0 is 0x0F, bytes 1 to 24 come from the\n"
    "library, then the flag options are ORed into byte 23. SBUS is an\n"
    "inverted signal: the port needs an inverting adapter.\n"
    "\n"
    "  --values LIST     16 comma-separated values (default all 1024)\n"
    "  --input FILE|-    lines of 16 values; each tick sends the latest good\n"
    "                    line; a malformed line is reported and ignored; the\n"
    "                    end of the input ends the run\n"
    "  --scale S         sbus (0-2047, default) or std (0-65535, scaled by\n"
    "                    the library); values beyond it are refused\n"
    "  --v2              SBUS2 end bytes 04 14 24 34 (default: SBUS, 00)\n"
    "  --period MS       frame period, at least 4 (default 14; 7 for high\n"
    "                    speed)\n"
    "  --ch17            set bit 0 of byte 23 (digital channel 17)\n"
    "  --ch18            set bit 1 (digital channel 18)\n"
    "  --frame-lost      set bit 2 (frame lost)\n"
    "  --failsafe        set bit 3 (failsafe)\n"
    "  --count N         stop after N frames\n"
    "  --seconds S       stop after S seconds\n"
    "  --warn-speed      only warn if the port does not keep 100000 baud\n"
    "  --help            this text\n"};

}  // namespace kestrav_tool
