// The tool's port layer: one small interface over a serial port (POSIX
// terminal or Win32 COM port), a TCP connection, and the device side of a
// pseudo-terminal. Every error is a PortError whose message names the port
// and the system's reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace kestrav_tool {

struct PortError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The port went away under a write: the peer closed the connection, or the
// device was unplugged. A tool with --reconnect opens it again.
struct PortGone : PortError {
  using PortError::PortError;
};

// The port is not there (yet): no such device node, or a TCP bridge that
// refuses the connection. A tool with --reconnect waits for it, at the
// start of a run too (a start-up script that runs before the adapter has
// enumerated).
struct PortAbsent : PortError {
  using PortError::PortError;
};

// The port does not keep the line settings asked of it (speed, parity, stop
// bits or data bits), or its UART is known to lack one of them: the tool
// refuses to run on it, with exit status 2, unless only a warning was asked.
struct LineRefused : PortError {
  using PortError::PortError;
};

// Serial line settings. Ignored by TCP ports, where bytes go out as they are.
struct LineSettings {
  enum class Parity { None, Even };
  uint32_t baud = 115200;
  Parity parity = Parity::None;
  int stop_bits = 1;
  // When false, a port that does not keep the requested settings (the speed,
  // and for SBUS the parity and stop bits) is reported as a warning on stderr
  // instead of being refused.
  bool strict_speed = true;
};

enum class ReadStatus {
  Data,     // at least one byte was read
  Timeout,  // nothing arrived within the time given
  Stopped,  // Ctrl-C, SIGTERM, SIGHUP or a console close event
  Closed,   // the peer closed the connection or the device went away
};

class Port {
 public:
  virtual ~Port() = default;
  // Waits at most timeout_ms milliseconds (negative: without limit) for bytes
  // and reads up to cap of them into buf, setting got. Returns at once when a
  // stop was requested.
  virtual ReadStatus read(uint8_t *buf, size_t cap, size_t &got,
                          int timeout_ms) = 0;
  // Writes all n bytes, or throws: PortGone when the port went away,
  // PortError for anything else. A write that cannot go on waits up to a
  // couple of seconds, or without limit once wait_for_the_reader was called
  // (then a stop request ends the wait with a PortError).
  virtual void write(const uint8_t *data, size_t n) = 0;
  // For the simulator: a peer that stops reading for a while is waited for,
  // as a real device's output would be, rather than failed.
  void wait_for_the_reader() { patient_ = true; }
  // For the simulator: the device side of a pseudo-terminal, after its
  // host closed the terminal, holds it open again, so that reads wait for
  // the next host that opens the same path instead of reading as hung up.
  // Other ports have nothing to do.
  virtual void hold_for_next_host() {}
  // Waits until everything written has left the port: the last call before
  // the port goes. A TCP connection is then shut for sending, and waits (at
  // most 0.5 s) for the peer to close, so that the peer reads it all.
  virtual void drain() = 0;
  // The serial speed the port reports now, or 0 where there is none.
  virtual uint32_t speed() const { return 0; }
  const std::string &name() const { return name_; }

 protected:
  explicit Port(std::string name) : name_(std::move(name)) {}
  bool patient_ = false;
  [[noreturn]] void fail(const std::string &what) const;
  // Reads the speed back after it was set: a port that refused or rounded
  // it fails, or only warns when the settings allow. A speed the port cannot
  // report (0) is taken on trust.
  void check_speed(const LineSettings &line) const;
  // Refuses the port with a LineRefused naming what, or only warns when the
  // settings allow.
  void refuse_line(const std::string &what, const LineSettings &line) const;

 private:
  std::string name_;
};

// The line settings as a recording states them: "115200 8N1" or "100000
// 8E2"; empty for a TCP address, where there are none.
std::string line_text(const std::string &address, const LineSettings &line);

// Opens PORT as a host does: "tcp:HOST:PORT" connects; anything else is a
// serial device (a path on POSIX, COMn on Windows), opened for this process
// alone and put into raw binary mode with the given line settings. A port
// that another process holds fails with "PORT: in use by another process"
// before a byte is written. The previous settings come back when the port
// is destroyed.
std::unique_ptr<Port> open_port(const std::string &address,
                                const LineSettings &settings);

// Listens on "tcp:HOST:PORT" (port 0 picks a free one), calls announce with
// the address actually bound, and returns the first peer that connects,
// named by the bound address.
// Returns null when a stop is requested while waiting.
std::unique_ptr<Port> accept_tcp(const std::string &address,
                                 void (*announce)(const std::string &));

// A HID game-controller device for `kestrav hid`, or a recording of one.
struct HidSource {
  std::unique_ptr<Port> port;  // null: a stop came while a FIFO waited
  // A recording is a byte stream of 17-byte reports back to back; a device
  // gives one whole report a read.
  bool recording = false;
  std::string description;  // a device's bus, VID:PID and name
};

// Opens DEVICE for reading reports: on Linux a hidraw node, on Windows a
// HID device interface path or VID:PID in hex (the first such device). A
// regular file, a FIFO or "-" (standard input) is a recording.
HidSource open_hid(const std::string &device);

// A raw capture in a regular file (as --record FILE writes one), read as a
// byte stream to its end; null when PATH is not a regular file.
std::unique_ptr<Port> open_capture(const std::string &path);

// POSIX only: creates a pseudo-terminal and returns its device side; slave
// receives the path a host opens. The terminal keeps the kernel's default
// (cooked) settings: the host must make it raw.
std::unique_ptr<Port> open_pty(std::string &slave);

// Ctrl-C, SIGTERM, SIGHUP (a closed terminal or a dropped session) and, on
// Windows, console close events set a flag instead of killing the process;
// every Port::read returns Stopped once it is set. SIGPIPE is ignored: a
// closed pipe or socket shows as an error where the write happens.
void install_stop_handlers();
bool stop_requested();

// Whether address is a device path whose node exists now. False for
// "tcp:" addresses, and always on Windows, where a COM port is no file.
bool device_node_exists(const std::string &address);
// Whether address names a device node at all: a path on POSIX; not a
// "tcp:" address, nor anything on Windows.
bool watches_device_node(const std::string &address);

// Seconds on a monotonic clock.
double monotonic_seconds();

// Sleeps until the monotonic clock reaches deadline (a monotonic_seconds()
// value), as an absolute deadline so that repeated sleeps never drift.
// Returns false, early, when a stop is requested.
bool sleep_until(double deadline);

// Splits "tcp:HOST:PORT"; returns false for anything else. An IPv6 HOST is
// written in brackets, "tcp:[::1]:5000", and comes back without them. The
// port is not checked here (see check_address).
bool split_tcp(const std::string &address, std::string &host,
               std::string &port);
// A TCP port written in decimal digits, 0 to 65535 (never wrapped: 70000
// is no port, not 4464); -1 for anything else.
int parse_tcp_port(const std::string &text);
// The inverse: "tcp:HOST:PORT", with an IPv6 HOST put in brackets.
std::string join_tcp(const std::string &host, const std::string &port);

}  // namespace kestrav_tool
