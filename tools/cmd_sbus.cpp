// kestrav sbus: drives an SBUS output from a serial port.
//
// Each frame is the start byte 0x0F, bytes 1 to 24 from the library's
// encoder, then the flag options ORed into byte 23. Frames go out one write
// each at absolute deadlines on the monotonic clock, so the period never
// drifts; a late tick skips to the next deadline instead of bursting.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Kestrav.h"
#include "commands.h"
#include "foxglove.h"
#include "options.h"
#include "port.h"
#include "record.h"
#include "run.h"
#include "sbus_frame.h"
#include "view.h"

namespace kestrav_tool {
namespace {

constexpr uint16_t kCentre = 1024;
// The library's standard scale: 1200 is the top of the SBUS range (600 its
// centre), and everything from 1201 up goes out as 2047, full deflection. A
// script that sends 0 to 65535 would drive servos to their stops: values
// above 1200 are refused.
constexpr uint32_t kStdMax = 1200;
// A frame takes 3 ms on the wire (25 bytes of 12 bits at 100000 baud), and
// receivers need a gap after it.
constexpr double kMinPeriodMs = 4.0;
constexpr double kDefaultPeriodMs = 14.0;
// An input line longer than this is reported and skipped whole; sixteen
// values need well under a hundred bytes, padding included.
constexpr size_t kMaxInputLine = 64 * 1024;
// --loopback: how long to wait for the last frames to come back once the
// final frame has left, and at most in all.
constexpr double kLoopbackQuietSeconds = 0.2;
constexpr double kLoopbackMaxWaitSeconds = 1.0;

struct SbusOptions {
  std::string port;
  std::array<uint32_t, kSbusChannels> values;
  bool values_given = false;
  std::string input;
  std::string record;
  double stale_ms = 0;  // 0: off
  bool loopback = false;
  Format format = Format::None;  // the frames sent, on standard output
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
                  {"warn-speed", no_argument, nullptr, 'w'},
                  {"stale", required_argument, nullptr, 'T'},
                  kReconnectOption,
                  {"loopback", no_argument, nullptr, 'L'},
                  {"format", required_argument, nullptr, 'F'},
                  {"record", required_argument, nullptr, 'o'},
                  kServeOption,
                  kRecordCompressionOption,
                  kFoxgloveOption}};
  const int first = p.parse(argc, argv, [&](int c, const char *arg) {
    if (o.limits.take(c, arg)) return;
    switch (c) {
      case 'v':
        values = arg;
        break;
      case 'T':
        o.stale_ms = parse_amount(arg, "--stale");
        if (o.stale_ms <= 0) throw UsageError("--stale must be above 0 ms");
        break;
      case 'L':
        o.loopback = true;
        break;
      case 'o':
        o.record = arg;
        break;
      case 'F':
        o.format = parse_format(arg);
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
  check_address(o.port, false);
  if (o.stale_ms > 0 && o.input.empty())
    throw UsageError("--stale watches --input lines: give --input too");
  o.values_given = values != nullptr;
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
  // Opens path ("-": standard input). A FIFO's open waits for its writer,
  // so it is opened by the reader, in the background: the run limits hold
  // meanwhile, and the --values go out. Anything else that cannot be
  // opened is a ToolError at once.
  static std::unique_ptr<InputLines> open(const std::string &path,
                                          bool std_scale) {
    std::FILE *file = stdin;
    if (path != "-" && !is_fifo(path)) {
      file = std::fopen(path.c_str(), "r");
      if (file == nullptr)
        throw ToolError(path + ": cannot open the file: " + system_reason());
    } else if (path != "-") {
      file = nullptr;
    }
    return std::unique_ptr<InputLines>(new InputLines(path, file, std_scale));
  }

  enum class Taken { Nothing, Fresh, Ended };
  // Takes the latest good values, and the monotonic time their line came,
  // if a new line came since the last call; Ended once the input has ended
  // and everything in it has been taken.
  Taken take(Channels &channels, double &at) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->fresh) {
      channels = state_->latest;
      at = state_->at;
      state_->fresh = false;
      return Taken::Fresh;
    }
    if (state_->ended && !state_->failed.empty())
      throw ToolError(state_->failed);
    return state_->ended ? Taken::Ended : Taken::Nothing;
  }

 private:
  struct State {
    std::mutex mutex;
    Channels latest{};
    double at = 0;
    bool fresh = false;
    bool ended = false;
    std::string failed;  // the FIFO could not be opened: why
  };

  static bool is_fifo(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
  }

  InputLines(const std::string &path, std::FILE *file, bool std_scale)
      : state_(std::make_shared<State>()) {
    std::thread([state = state_, path, file, std_scale] {
      std::FILE *in = file != nullptr ? file : std::fopen(path.c_str(), "r");
      if (in == nullptr) {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->failed = path + ": cannot open the file: " + system_reason();
        state->ended = true;
        return;
      }
      read_all(*state, in, std_scale);
    }).detach();
  }

  static void read_all(State &state, std::FILE *file, bool std_scale) {
    std::string text;
    bool too_long = false;
    for (unsigned long long number = 1;
         read_line(file, text, kMaxInputLine, too_long); ++number) {
      std::string why;
      std::array<uint32_t, kSbusChannels> values{};
      if (too_long) {
        why = "longer than " + std::to_string(kMaxInputLine) + " bytes";
      } else if (text.find('\0') != std::string::npos) {
        why = "it holds a NUL byte";
      } else if (text.find_first_not_of(" \t") == std::string::npos) {
        continue;  // blank
      } else {
        why = parse_channels(text, scale_max(std_scale), values);
      }
      if (!why.empty()) {
        say("input line %llu ignored: %s; the last good values go on", number,
            why.c_str());
        continue;
      }
      const Channels channels = to_sbus(values, std_scale);
      std::lock_guard<std::mutex> lock(state.mutex);
      state.latest = channels;
      state.at = monotonic_seconds();
      state.fresh = true;
    }
    std::lock_guard<std::mutex> lock(state.mutex);
    state.ended = true;
  }

  std::shared_ptr<State> state_;
};

// --loopback: with TX wired to RX, every frame must come back as it went,
// once, in order, and nothing else may come back. The frames carry the
// SBUS2 end bytes in turn (04 14 24 34), so that no two frames in a row are
// equal and a repeated or reordered frame shows. What comes back is read as
// frames, resynchronising on frame boundaries as a receiver does, so one
// lost byte costs one frame, not every frame after it.
//
// A frame that comes back is matched by its bytes and its place: every
// frame sent has a number, and the last one matched in order is the
// place. With constant values the frames repeat every four, so a frame's
// bytes alone can name several frames sent; it is taken for the one that
// needs the fewest faults to explain: the next one (none), the one at the
// place again (a repeat), one just behind (late), or the nearest one ahead
// (those between are lost). One that matches none took the place of a frame
// between two matches that never came back (corrupted), or, if there was
// none, came back though never sent.
class LoopbackCheck {
 public:
  void sent(const SbusFrame &frame) {
    sent_.push_back({frame, false});
    ++sent_count_;
    if (sent_.size() > kKept) {  // long gone: counted missing if not back
      sent_.pop_front();
      ++base_;
    }
  }
  void received(const uint8_t *data, size_t n) {
    scanner_.feed(data, n, [&](const uint8_t *f) { take(f); });
  }
  // Reads whatever has come back, without waiting.
  void collect(Port &port) {
    uint8_t buf[1024];
    size_t got = 0;
    while (port.read(buf, sizeof buf, got, 0) == ReadStatus::Data)
      received(buf, got);
  }
  // After the last frame: reads until the line has been quiet for a few
  // periods (or a second at most), so that whatever comes back late, sent
  // or not, is counted, then reports. True when every frame came back
  // intact and nothing else did.
  bool finish(Port &port, double period) {
    uint8_t buf[1024];
    const double quiet = std::max(kLoopbackQuietSeconds, 4 * period);
    const double give_up = monotonic_seconds() + kLoopbackMaxWaitSeconds;
    double quiet_until = monotonic_seconds() + quiet;
    for (;;) {
      const double now = monotonic_seconds();
      const double until = std::min(give_up, quiet_until);
      if (now >= until || stop_requested()) break;
      size_t got = 0;
      const auto wait_ms = static_cast<int>(std::ceil((until - now) * 1000));
      if (port.read(buf, sizeof buf, got, wait_ms) != ReadStatus::Data)
        continue;
      received(buf, got);
      quiet_until = monotonic_seconds() + quiet;
    }
    settle(base_ + sent_.size());
    const uint64_t missing = sent_count_ - intact_ - corrupted_;
    const uint64_t stray = scanner_.skipped();  // outside any whole frame
    std::printf(
        "%llu frames sent, %llu received intact, %llu corrupted, %llu "
        "missing\n",
        static_cast<unsigned long long>(sent_count_),
        static_cast<unsigned long long>(intact_),
        static_cast<unsigned long long>(corrupted_),
        static_cast<unsigned long long>(missing));
    const std::pair<uint64_t, const char *> more[] = {
        {late_, "frames came back out of order"},
        {repeated_, "frames came back again"},
        {unsent_, "frames came back that were never sent"},
        {stray, "bytes came back outside any whole frame"}};
    for (const auto &m : more)
      if (m.first > 0)
        std::printf("%llu %s\n", static_cast<unsigned long long>(m.first),
                    m.second);
    std::fflush(stdout);
    return intact_ == sent_count_ && late_ == 0 && repeated_ == 0 &&
           unsent_ == 0 && stray == 0;
  }

 private:
  struct Sent {
    SbusFrame frame;
    bool back;  // came back, or was counted corrupted
  };
  // How far behind the place a frame is looked for: within four frames the
  // end bytes differ.
  static constexpr uint64_t kBehind = 3;
  // Frames kept for matching: minutes of frames at the fastest period.
  static constexpr size_t kKept = 65536;

  bool kept(uint64_t k) const { return k >= base_ && k - base_ < sent_.size(); }
  Sent &at(uint64_t k) { return sent_[static_cast<size_t>(k - base_)]; }

  void take(const uint8_t *f) {
    SbusFrame frame;
    std::copy(f, f + kSbusFrameSize, frame.begin());
    // Behind: the place itself (a repeat), or a frame passed over (late).
    uint64_t behind = UINT64_MAX;
    for (uint64_t b = 0; b <= kBehind && b < next_; ++b)
      if (kept(next_ - 1 - b) && at(next_ - 1 - b).frame == frame) {
        behind = b;
        break;
      }
    // Ahead: the nearest frame not back yet; those before it are lost.
    uint64_t ahead = UINT64_MAX;
    for (uint64_t k = std::max(next_, base_); kept(k); ++k)
      if (!at(k).back && at(k).frame == frame) {
        ahead = k - next_;
        break;
      }
    if (ahead != UINT64_MAX && (behind == UINT64_MAX || ahead < behind)) {
      const uint64_t k = next_ + ahead;
      settle(k);
      at(k).back = true;
      ++intact_;
      next_ = k + 1;
    } else if (behind != UINT64_MAX) {
      Sent &s = at(next_ - 1 - behind);
      if (s.back) {
        ++repeated_;
      } else {
        s.back = true;
        ++intact_;
        ++late_;
      }
    } else {
      ++unmatched_;
    }
  }

  // The frames that matched nothing since the place took the places of
  // frames before until that never came back: each pair is one corrupted
  // frame; the rest of them were never sent.
  void settle(uint64_t until) {
    for (uint64_t k = std::max(next_, base_); k < until && unmatched_ > 0; ++k)
      if (!at(k).back) {
        at(k).back = true;
        ++corrupted_;
        --unmatched_;
      }
    unsent_ += unmatched_;
    unmatched_ = 0;
  }

  std::deque<Sent> sent_;  // frame numbers from base_ on
  uint64_t base_ = 0;
  uint64_t next_ = 0;  // the frame after the last one matched in order
  uint64_t unmatched_ = 0;
  SbusScanner scanner_;
  uint64_t sent_count_ = 0, intact_ = 0, corrupted_ = 0, late_ = 0,
           repeated_ = 0, unsent_ = 0;
};

// Sends frames until a limit, the end of the input or a stop; returns why
// the run ended, for the live view.
std::string send_frames(const SbusOptions &o, std::unique_ptr<Port> &port,
                        const LineSettings &line, InputLines *input,
                        LiveView *view, FoxgloveServer *fox,
                        RecordWriter &writer, LoopbackCheck &loopback,
                        double start) {
  Channels channels = to_sbus(o.values, o.std_scale);
  uint8_t flags = o.flags;
  // With --input and no --values, nothing goes out until the first good
  // line: a receiver takes silence as signal loss and goes to its own
  // failsafe, which is better than a frame of made-up values.
  bool have_values = o.values_given || !input;
  const double period = o.period_ms / 1000.0;
  const double end = o.limits.deadline(start);
  double fresh_at = start;  // when the values in use last came
  uint64_t sent = 0;
  for (uint64_t tick = 0;; ++tick) {
    const double due = start + static_cast<double>(tick) * period;
    if (end >= 0 && due >= end) return end_reason(ReadStatus::Timeout);
    if (!sleep_until(due)) return end_reason(ReadStatus::Stopped);
    // The latest of the input's lines and the view's requests wins.
    if (input) {
      const InputLines::Taken taken = input->take(channels, fresh_at);
      if (taken == InputLines::Taken::Ended) return "the end of the input";
      if (taken == InputLines::Taken::Fresh) have_values = true;
    }
    // So do the view's requests and a live source's publishes: each is
    // taken apart, and the one that came last wins, within a tick too.
    SbusRequest from_view, from_fox;
    const bool by_view = view && view->take_sbus(from_view);
    const bool by_fox = fox && fox->take_sbus(from_fox);
    const SbusRequest *latest =
        by_view && (!by_fox || from_view.at >= from_fox.at) ? &from_view
        : by_fox                                            ? &from_fox
                                                            : nullptr;
    if (latest != nullptr && latest->at >= fresh_at) {
      channels = latest->channels;
      flags = latest->flags;
      fresh_at = latest->at;
      have_values = true;
    }
    if (have_values) {
      SbusFrame frame{};
      frame[0] = kSbusStart;
      (o.v2 || o.loopback ? encode_sbus_data_v2 : encode_sbus_data_v1)(
          frame.data(), channels.data());
      uint8_t these = flags;
      // A producer that went quiet: the last values go on, marked failsafe.
      if (o.stale_ms > 0 &&
          (monotonic_seconds() - fresh_at) * 1000.0 >= o.stale_ms)
        these |= kFlagFailsafe;
      frame[kSbusFlagsAt] = static_cast<uint8_t>(frame[kSbusFlagsAt] | these);
      try {
        port->write(frame.data(), frame.size());
        if (o.loopback) {
          loopback.sent(frame);
          loopback.collect(*port);
        }
      } catch (const PortGone &) {
        if (!o.limits.reconnect) throw;
        reconnect(port, o.port, line, end);
        if (!port) return "the port went away";
        continue;
      }
      const SbusFields f = decode_sbus(frame.data());
      const double t = monotonic_seconds() - start;
      writer.raw(t, frame.data(), frame.size());
      writer.sbus_record(t, ++sent, f.channels.data(), f.flags, f.end);
      if (o.limits.count != 0 && sent >= o.limits.count)
        return end_reason(ReadStatus::Data);
    }
    // Late: go on at the next deadline still ahead, without a burst.
    const double behind = (monotonic_seconds() - start) / period;
    if (behind > static_cast<double>(tick + 1))
      tick = static_cast<uint64_t>(std::floor(behind));
  }
}

int run(int argc, char **argv) {
  const SbusOptions o = parse(argc, argv);
  install_stop_handlers();
  RecordWriter writer(stdout, o.format, RecordWriter::Kind::Sbus);
  LiveView::Setup setup{"sbus", o.port, format_name(o.format), true};
  const std::unique_ptr<LiveView> view = serve(o.limits.serve, setup, writer);
  std::unique_ptr<InputLines> input;
  if (!o.input.empty()) {
    input = InputLines::open(o.input, o.std_scale);
    if (!input) return 0;  // Ctrl-C while a FIFO waited for its writer
  }
  const LineSettings line = sbus_line(o.warn_speed);
  const RecordingInfo info{"sbus", o.port, line_text(o.port, line), -1,
                           o.limits.compress_records};
  writer.add_sink(
      open_record_file(o.record, info, o.limits.deadline(monotonic_seconds())));
  const auto fox = serve_foxglove(o.limits.foxglove, {info, true}, writer);
  std::unique_ptr<Port> port = open_at_start(
      o.port, [&] { return open_port(o.port, line); }, o.limits.reconnect,
      o.limits.deadline(monotonic_seconds()));
  if (!port) return 0;  // the run ended while it waited
  LoopbackCheck loopback;
  std::string why;
  int status = 0;
  const int failed = run_guarded(
      [&] {
        const double start = monotonic_seconds();
        writer.begin(start);
        why = send_frames(o, port, line, input.get(), view.get(), fox.get(),
                          writer, loopback, start);
      },
      why);
  if (failed != 0) status = 1;
  if (close_records(writer, why) != 0) status = 1;
  if (port) port->drain();
  if (view) view->end(why);
  if (fox) fox->end(why);
  if (port && o.loopback && !loopback.finish(*port, o.period_ms / 1000.0))
    return 1;
  return status;  // the port's settings come back as it goes
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
    "                    end of the input ends the run. Until the first good\n"
    "                    line, nothing is sent (or the --values, if given)\n"
    "  --stale MS        with --input: once no good line has come for MS ms,\n"
    "                    frames carry the failsafe flag until one comes\n"
    "  --scale S         sbus (0-2047, default) or std (0-1200, the\n"
    "                    library's standard scale: 600 the centre, 1200 the\n"
    "                    top); values beyond it are refused\n"
    "  --v2              SBUS2 end bytes 04 14 24 34 (default: SBUS, 00)\n"
    "  --period MS       frame period, at least 4 (default 14; 7 for high\n"
    "                    speed)\n"
    "  --ch17            set bit 0 of byte 23 (digital channel 17)\n"
    "  --ch18            set bit 1 (digital channel 18)\n"
    "  --frame-lost      set bit 2 (frame lost)\n"
    "  --failsafe        set bit 3 (failsafe)\n"
    "  --count N         stop after N frames (0: no limit)\n"
    "  --seconds S       stop after S seconds\n"
    "  --warn-speed      only warn if the port does not keep 100000 8E2\n"
    "  --reconnect       when the port goes away, open it again every 0.5 s\n"
    "  --loopback        self-test with TX wired to RX: read every frame back\n"
    "                    and compare; exit 0 only if all came back intact\n"
    "  --record FILE     also record each frame sent: FILE.mcap holds the\n"
    "                    frames' bytes and records with their times; any\n"
    "                    other name, the bytes alone; an existing FILE is\n"
    "                    overwritten\n"
    "  --record-compression C\n"
    "                    an MCAP recording's chunks: zstd (the default) or\n"
    "                    none\n"
    "  --format F        print each frame sent as a record: text, csv, jsonl\n"
    "                    or none (default none)\n"
    "  --serve ADDR      live view in a browser on [HOST:]PORT, with sliders\n"
    "                    that set the values sent (POST /sbus); HOST\n"
    "                    127.0.0.1 unless given; PORT 0 picks a free one\n"
    "  --foxglove ADDR   a live source for the tools that open MCAP, over\n"
    "                    the Foxglove WebSocket protocol, on [HOST:]PORT\n"
    "                    (a client may publish a POST /sbus body on\n"
    "                    /sbus/set)\n"
    "  --help            this text\n"};

}  // namespace kestrav_tool
