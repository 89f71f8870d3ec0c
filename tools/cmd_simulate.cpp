// kestrav simulate: plays the device, so that the whole road can be walked
// without hardware.
//
// Waits for the upload request, then sends port data frames of types 0, 1
// and 2 in turn at the given rate, each cut into chunks of 1 to 255 bytes,
// until the stop frame comes or the host leaves. The frames are built here,
// byte by byte, not with the library, so that a test compares two separate
// codings of the wire format.
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "options.h"
#include "port.h"
#include "record.h"
#include "run.h"

namespace kestrav_tool {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kHead = 0xFA;
constexpr uint8_t kTail = 0x5F;
constexpr uint8_t kPortData = 0xA5;
constexpr uint8_t kRequest = 0xE5;
constexpr uint8_t kStop = 0xE4;
constexpr size_t kHeaderSize = 4;
constexpr size_t kMaxChunk = 255;
// The device reads commands into a buffer of this size, as the library reads
// port data: a head whose frame could not fit is a false start, not a frame
// to wait for. A port opened while the device streams echoes the device's
// bytes back (the terminal is not raw yet), and one such false start would
// otherwise swallow every command after it.
constexpr size_t kCommandBufferBytes = 500;
// Words per payload type: 15, 32, or 15 then 32.
constexpr size_t kWordsOfType[3] = {15, 32, 47};
// The byte values that a terminal which is not raw mangles or acts on, and
// the link's own framing bytes. Every frame carries all of them in its words.
constexpr uint8_t kAwkwardBytes[] = {0x03, 0x04, 0x0A, 0x0D, 0x11,
                                     0x13, 0x7F, 0xFA, 0x5F};
// How long the simulator waits, after the stop frame, for the host to close
// its side, so that the host can still restore its terminal settings.
constexpr double kLingerSeconds = 2.0;

// xorshift64*: small, fast and the same on every platform.
class Random {
 public:
  explicit Random(uint64_t seed) : s_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t next() {
    s_ ^= s_ >> 12;
    s_ ^= s_ << 25;
    s_ ^= s_ >> 27;
    return s_ * 0x2545F4914F6CDD1Dull;
  }
  size_t below(size_t n) { return static_cast<size_t>((next() >> 32) % n); }
  // Any byte but the start byte, for bytes the reader must not take as one.
  uint8_t no_head() {
    const auto b = static_cast<uint8_t>(next() >> 56);
    return b == kHead ? static_cast<uint8_t>(kHead - 1) : b;
  }

 private:
  uint64_t s_;
};

// FA code L(lo) L(hi) payload tail.
Bytes frame(uint8_t code, const Bytes &payload, uint8_t tail = kTail) {
  Bytes f(kHeaderSize + payload.size() + 1);
  f[0] = kHead;
  f[1] = code;
  f[2] = static_cast<uint8_t>(payload.size() & 0xFF);
  f[3] = static_cast<uint8_t>(payload.size() >> 8);
  for (size_t k = 0; k < payload.size(); ++k) f[kHeaderSize + k] = payload[k];
  f.back() = tail;
  return f;
}

// Port data frame n (from 1): type (n - 1) mod 3; its word bytes start with
// the awkward bytes, rotated by n, and go on with random ones.
Bytes port_data_frame(uint64_t n, Random &random) {
  const auto type = static_cast<uint8_t>((n - 1) % 3);
  Bytes payload = {type};
  const size_t bytes = 2 * kWordsOfType[type];
  constexpr size_t kAwkward = sizeof kAwkwardBytes;
  for (size_t k = 0; k < bytes; ++k)
    payload.push_back(k < kAwkward ? kAwkwardBytes[(k + n) % kAwkward]
                                   : static_cast<uint8_t>(random.next() >> 56));
  return frame(kPortData, payload);
}

// --waves: each word follows a slow sine wave of its own period (3 s for a
// block's first word, 0.5 s longer for each next one; block32's a quarter
// period ahead, and each word 1/20 of a turn on from the one before), so
// that a person sees at once that a chart is live and
// which line is which. t is the frame's time in the stream, n / rate.
Bytes wave_frame(uint64_t n, double t) {
  constexpr double kMid = 32768.0, kAmplitude = 24000.0;
  constexpr double kFirstPeriod = 3.0, kPeriodStep = 0.5, kPhaseStep = 0.05;
  constexpr double kTurn = 6.283185307179586;
  const auto type = static_cast<uint8_t>((n - 1) % 3);
  Bytes payload = {type};
  for (size_t k = 0; k < kWordsOfType[type]; ++k) {
    const bool b32 = type == 1 || k >= kWordsOfType[0];
    const size_t w = type == 2 && b32 ? k - kWordsOfType[0] : k;
    // Each word starts a little further along its wave than the one before.
    const double phase =
        (b32 ? 0.25 : 0.0) + kPhaseStep * static_cast<double>(w);
    const double x =
        t / (kFirstPeriod + kPeriodStep * static_cast<double>(w)) + phase;
    const auto word = static_cast<uint16_t>(
        std::lround(kMid + kAmplitude * std::sin(kTurn * x)));
    payload.push_back(static_cast<uint8_t>(word & 0xFF));
    payload.push_back(static_cast<uint8_t>(word >> 8));
  }
  return frame(kPortData, payload);
}

// Traffic the reader must pass over without losing a port data frame:
// loose bytes, frames of other codes, and frames with a wrong end byte. None
// holds a start byte, and each frame's length is its own, so none can hide
// the frames that follow.
Bytes noise(Random &random) {
  Bytes out;
  const size_t pieces = random.below(4);
  for (size_t p = 0; p < pieces; ++p) {
    Bytes payload(random.below(41));
    for (uint8_t &b : payload) b = random.no_head();
    switch (random.below(3)) {
      case 0:
        out.insert(out.end(), payload.begin(), payload.end());
        break;
      case 1: {
        uint8_t code = random.no_head();
        if (code == kPortData) code = 0x31;
        const Bytes f = frame(code, payload);
        out.insert(out.end(), f.begin(), f.end());
        break;
      }
      default: {
        uint8_t tail = random.no_head();
        if (tail == kTail) tail = 0x00;
        const Bytes f = frame(kPortData, payload, tail);
        out.insert(out.end(), f.begin(), f.end());
        break;
      }
    }
  }
  return out;
}

std::string hex(const uint8_t *b, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t k = 0; k < n; ++k) {
    s += kDigits[b[k] >> 4];
    s += kDigits[b[k] & 0x0F];
  }
  return s;
}

// Finds the host's command frames in what it sends.
class CommandReader {
 public:
  // Calls on_frame for every complete frame, in order.
  template <typename OnFrame>
  void feed(const uint8_t *data, size_t n, OnFrame on_frame) {
    bytes_.insert(bytes_.end(), data, data + n);
    size_t p = 0;
    while (p < bytes_.size()) {
      if (bytes_[p] != kHead) {
        ++p;
        continue;
      }
      if (bytes_.size() - p < kHeaderSize) break;
      const size_t length = bytes_[p + 2] | (size_t{bytes_[p + 3]} << 8);
      const size_t size = kHeaderSize + length + 1;
      if (size > kCommandBufferBytes) {
        ++p;
        continue;
      }
      if (bytes_.size() - p < size) break;
      if (bytes_[p + size - 1] == kTail) {
        on_frame(bytes_.data() + p, size);
        p += size;
      } else {
        ++p;
      }
    }
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<long>(p));
  }

 private:
  Bytes bytes_;
};

struct SimOptions {
  enum class Where { Pty, Listen, Port } where = Where::Port;
  std::string address;
  double rate = 50.0;
  uint64_t seed = 1;
  bool noise = false;
  bool keep = false;   // host after host, until a stop
  bool waves = false;  // slow waves instead of random words
  std::string truth;
};

SimOptions parse(int argc, char **argv) {
  SimOptions o;
  bool placed = false;
  OptionParser p{"simulate",
                 {{"pty", no_argument, nullptr, 'p'},
                  {"listen", required_argument, nullptr, 'l'},
                  {"rate", required_argument, nullptr, 'r'},
                  {"seed", required_argument, nullptr, 's'},
                  {"noise", no_argument, nullptr, 'z'},
                  {"keep", no_argument, nullptr, 'k'},
                  {"waves", no_argument, nullptr, 'w'},
                  {"truth", required_argument, nullptr, 't'}}};
  const int first = p.parse(argc, argv, [&](int c, const char *arg) {
    switch (c) {
      case 'p':
        o.where = SimOptions::Where::Pty;
        placed = true;
        break;
      case 'l':
        o.where = SimOptions::Where::Listen;
        o.address = arg;
        placed = true;
        break;
      case 'r':
        o.rate = parse_amount(arg, "--rate");
        if (o.rate <= 0 || o.rate > 10000)
          throw UsageError("--rate must be above 0 and at most 10000 Hz");
        break;
      case 's':
        o.seed = parse_number(arg, UINT64_MAX, "--seed");
        break;
      case 'z':
        o.noise = true;
        break;
      case 'k':
        o.keep = true;
        break;
      case 'w':
        o.waves = true;
        break;
      case 't':
        o.truth = arg;
        break;
    }
  });
  if (first == argc - 1 && !placed) {
    o.address = argv[first];
  } else if (first != argc || !placed) {
    throw UsageError("give one of --pty, --listen tcp:HOST:PORT or PORT");
  }
  if (o.where != SimOptions::Where::Pty)
    check_address(o.address, o.where == SimOptions::Where::Listen);
  return o;
}

void announce(const std::string &where) {
  std::printf("%s\n", where.c_str());
  std::fflush(stdout);
}

// The next hosts of --keep: the address was announced for the first.
void keep_quiet(const std::string &) {}

// Says on standard output what the host sent, for people watching.
void report_command(const uint8_t *f, size_t n) {
  std::printf("received");
  for (size_t k = 0; k < n; ++k) std::printf(" %02X", f[k]);
  std::printf(f[1] == kRequest ? " (upload request)\n"
              : f[1] == kStop  ? " (stop)\n"
                               : "\n");
  std::fflush(stdout);
}

class Truth {
 public:
  explicit Truth(const std::string &path) : path_(path) {
    if (path.empty()) return;
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr)
      throw ToolError(path + ": cannot create the file: " + system_reason());
  }
  ~Truth() {
    if (file_ != nullptr) std::fclose(file_);
  }
  void command(const uint8_t *f, size_t n) {
    if (file_ == nullptr) return;
    std::fprintf(file_, "{\"command\": \"%s\"}\n", hex(f, n).c_str());
    flush();
  }
  void frame(uint64_t n, const Bytes &f, double sent_at) {
    if (file_ == nullptr) return;
    std::fprintf(file_,
                 "{\"frame\": %llu, \"bytes\": \"%s\", \"sent_at\": %.6f}\n",
                 static_cast<unsigned long long>(n),
                 hex(f.data(), f.size()).c_str(), sent_at);
    flush();
  }
  // Checked: a truth file that lost its end would mislead its reader.
  void close() {
    std::FILE *file = file_;
    file_ = nullptr;
    if (file != nullptr && std::fclose(file) != 0)
      throw ToolError(path_ + ": cannot close the file: " + system_reason());
  }

 private:
  void flush() {
    if (std::fflush(file_) != 0 || std::ferror(file_))
      throw ToolError(path_ + ": cannot write the file: " + system_reason());
  }
  std::string path_;
  std::FILE *file_ = nullptr;
};

// Plays the device on port until the host stops it or leaves.
void play(Port &port, const SimOptions &o, Truth &truth);

int run(int argc, char **argv) {
  const SimOptions o = parse(argc, argv);
  install_stop_handlers();
  Truth truth(o.truth);
  std::unique_ptr<Port> port;
  switch (o.where) {
    case SimOptions::Where::Pty: {
      std::string slave;
      port = open_pty(slave);
      announce(slave);
      break;
    }
    case SimOptions::Where::Listen:
      port = accept_tcp(o.address, announce);
      if (!port) return 0;  // stopped while waiting
      break;
    case SimOptions::Where::Port:
      port = open_port(o.address, LineSettings());
      announce(o.address);
      break;
  }
  for (;;) {
    // A host that stops reading for a while is waited for, never failed.
    port->wait_for_the_reader();
    try {
      play(*port, o, truth);
    } catch (const PortGone &) {
      // The host left abruptly (a reset connection, a closed terminal): the
      // simulation is over, as when it leaves in order.
    } catch (const PortError &) {
      if (!stop_requested()) throw;
    }
    if (!o.keep || stop_requested()) break;
    // The next host: on the same terminal path, the same TCP address (one
    // connection at a time) or the same port, with an upload of its own.
    if (o.where == SimOptions::Where::Listen) {
      const std::string bound = port->name();  // the address it bound
      port.reset();
      port = accept_tcp(bound, keep_quiet);
      if (!port) break;  // stopped while waiting
    }
    port->hold_for_next_host();
    say("waiting for the next host (--keep; Ctrl-C ends)");
  }
  truth.close();
  return 0;
}

void play(Port &port, const SimOptions &o, Truth &truth) {
  CommandReader commands;
  bool requested = false, stopped = false;
  uint8_t buf[1024];
  // Reads what the host sends for up to timeout_ms; false once the host has
  // left or a stop was requested.
  auto listen = [&](int timeout_ms) {
    size_t got = 0;
    const ReadStatus r = port.read(buf, sizeof buf, got, timeout_ms);
    if (r == ReadStatus::Closed || r == ReadStatus::Stopped) return false;
    if (r == ReadStatus::Data) {
      commands.feed(buf, got, [&](const uint8_t *f, size_t n) {
        truth.command(f, n);
        report_command(f, n);
        if (f[1] == kRequest) requested = true;
        if (f[1] == kStop) stopped = true;
      });
    }
    return true;
  };

  while (!requested && !stopped)
    if (!listen(-1)) return;

  Random random(o.seed);
  const double period = 1.0 / o.rate;
  const double start = monotonic_seconds();
  for (uint64_t n = 1; !stopped; ++n) {
    Bytes out = o.noise ? noise(random) : Bytes();
    const Bytes f = o.waves ? wave_frame(n, static_cast<double>(n - 1) * period)
                            : port_data_frame(n, random);
    out.insert(out.end(), f.begin(), f.end());
    for (size_t at = 0; at < out.size();) {
      const size_t chunk =
          std::min(out.size() - at, 1 + random.below(kMaxChunk));
      port.write(out.data() + at, chunk);
      at += chunk;
    }
    truth.frame(n, f, monotonic_seconds());
    // Listen until the next frame is due, on absolute deadlines.
    const double due = start + static_cast<double>(n) * period;
    for (double left; !stopped && (left = due - monotonic_seconds()) > 0;)
      if (!listen(static_cast<int>(std::ceil(left * 1000.0)))) return;
  }
  // Give the host the chance to close first, so that its side of a
  // pseudo-terminal is still there while it restores the settings.
  const double until = monotonic_seconds() + kLingerSeconds;
  for (double left; (left = until - monotonic_seconds()) > 0;)
    if (!listen(static_cast<int>(std::ceil(left * 1000.0)))) break;
}

}  // namespace

const Command kSimulateCommand = {
    "simulate", run, "play the device, for trying the road without hardware",
    "usage: kestrav simulate [--pty | --listen tcp:HOST:PORT | PORT] "
    "[options]\n"
    "\n"
    "Prints where it listens on its first line: the terminal path (--pty),\n"
    "the address bound (--listen; port 0 picks a free one), or PORT, and\n"
    "then a line for each command frame it receives. Waits for the upload\n"
    "request, then sends port data frames of types 0, 1 and\n"
    "2 in turn, cut into chunks of 1 to 255 bytes, until the stop frame\n"
    "comes or the host leaves. Every frame's words hold the bytes a terminal\n"
    "that is not raw would mangle (03 04 0A 0D 11 13 7F) and FA and 5F.\n"
    "\n"
    "  --pty             create a pseudo-terminal (POSIX only)\n"
    "  --listen ADDR     accept one TCP connection on tcp:HOST:PORT\n"
    "  --rate HZ         port data frames per second (default 50)\n"
    "  --seed N          seed of the frames' words (default 1)\n"
    "  --waves           words that follow slow sine waves, each of its own\n"
    "                    period, for watching (instead of random words that\n"
    "                    hold the awkward bytes)\n"
    "  --noise           put loose bytes, frames of other codes and frames\n"
    "                    with a wrong end byte between the frames\n"
    "  --keep            serve host after host (on --pty the same terminal\n"
    "                    path, on --listen one connection at a time), each\n"
    "                    with an upload of its own, until Ctrl-C\n"
    "  --truth FILE      write each frame sent and each command received,\n"
    "                    one JSON object per line\n"
    "  --help            this text\n"};

}  // namespace kestrav_tool
