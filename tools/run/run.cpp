#include "run.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "options.h"
#include "serve_address.h"

namespace kestrav_tool {

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
  } else if (c == kFoxgloveOption.val) {
    check_serve_address(arg, "--foxglove");
    foxglove = arg;
  } else if (c == kRecordCompressionOption.val) {
    const std::string name = arg;
    if (name != "zstd" && name != "none")
      throw UsageError("--record-compression takes zstd or none, not '" + name +
                       "'");
    compress_records = name == "zstd";
  } else {
    return false;
  }
  return true;
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
      say("%s: the peer closed the connection", port.name().c_str());
    return r;
  }
}

namespace {

// Opens address every half second until it opens or the run ends. A device
// node is looked for every 50 ms, and one that has just appeared is given
// 0.2 s to settle before it is opened, whichever comes first, the half
// second or the node: its driver may still be setting the adapter up (in
// the lab, a request written at once was lost now and then), and udev may
// not yet have given it its permissions. A node that appears between two
// tries is opened as soon as it has settled, within 0.25 s of its
// appearing rather than up to 0.5 s later; while there is no node there
// is nothing to open. Addresses without a node (tcp:, COM ports) are
// simply tried every half second.
std::unique_ptr<Port> retry_open(
    const std::string &address,
    const std::function<std::unique_ptr<Port>()> &open, double deadline,
    bool first) {
  constexpr double kRetrySeconds = 0.5;
  constexpr double kLookSeconds = 0.05;
  constexpr double kSettleSeconds = 0.2;
  if (first)
    say("%s: not there yet; waiting for it (--reconnect), trying every %.1f s",
        address.c_str(), kRetrySeconds);
  else
    say("%s: gone; opening it again every %.1f s", address.c_str(),
        kRetrySeconds);
  // An address without a node counts as one that has long been there.
  const bool watch = watches_device_node(address);
  bool present = !watch;  // the node is there
  double since = 0;       // since when
  bool appeared = false;  // it appeared after the last try
  for (double next = monotonic_seconds() + kRetrySeconds;;) {
    double now = monotonic_seconds();
    if (watch && !device_node_exists(address)) {
      present = false;
    } else if (!present) {
      present = appeared = true;
      since = now;
    }
    const double settled = since + kSettleSeconds;
    const double due = !present   ? now + kLookSeconds  // nothing to open yet
                       : appeared ? settled
                                  : std::max(next, settled);
    const double wake = watch ? std::min(due, now + kLookSeconds) : due;
    if (deadline >= 0 && wake >= deadline) {
      sleep_until(deadline);
      return nullptr;
    }
    if (!sleep_until(wake)) return nullptr;
    now = monotonic_seconds();
    if (now < due || !present) {
      if (now >= next) next += kRetrySeconds;  // a half second went by
      continue;
    }
    appeared = false;
    next = std::max(next + kRetrySeconds, now);
    try {
      std::unique_ptr<Port> port = open();
      if (!port) continue;
      say("%s: back", address.c_str());
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
  port = retry_open(address, open, deadline, false);
}

std::unique_ptr<Port> open_at_start(
    const std::string &address,
    const std::function<std::unique_ptr<Port>()> &open, bool reconnect,
    double deadline) {
  try {
    return open();
  } catch (const PortAbsent &) {
    if (!reconnect) throw;
  } catch (const PortGone &) {
    if (!reconnect) throw;
  }
  return retry_open(address, open, deadline, true);
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

int run_guarded(const std::function<void()> &body, std::string &why) {
  try {
    body();
    return 0;
  } catch (const OutputClosed &e) {
    why = e.what();  // the reader left (| head): a normal end
    return 0;
  } catch (const std::runtime_error &e) {
    say("%s", e.what());
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

}  // namespace kestrav_tool
