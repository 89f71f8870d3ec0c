// POSIX ports: terminals (serial devices and pseudo-terminals) and TCP.
// Every wait is a poll() on the port and on the stop pipe, so an idle port
// costs no CPU and a signal ends the wait at once.
#if !defined(_WIN32)

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/hidraw.h>
#include <linux/input.h>
#include <linux/serial.h>
#include <sys/sysmacros.h>
#endif

#include <cmath>
#include <cstdio>
#include <cstring>

#include "port.h"
#include "ports.h"
#include "serial_settings.h"

namespace kestrav_tool {
namespace {

// --- Stop requests -------------------------------------------------------
// The handler sets a flag and writes a byte to a pipe that every wait polls.
volatile sig_atomic_t g_stop = 0;
int g_stop_pipe[2] = {-1, -1};

extern "C" void on_stop_signal(int) {
  g_stop = 1;
  const int saved = errno;
  const char byte = 1;
  if (g_stop_pipe[1] >= 0) (void)!write(g_stop_pipe[1], &byte, 1);
  errno = saved;
}

std::string reason() {
  return strerror(errno);
}

// The errors of a port that went away: an unplugged USB adapter (EIO,
// ENXIO, ENODEV), a pty whose other side closed (EIO), a peer that left
// (EPIPE, ECONNRESET).
bool port_gone(int e) {
  return e == EIO || e == ENXIO || e == ENODEV || e == EPIPE || e == ECONNRESET;
}

// "localhost:5000" or "10.0.0.2:23": a TCP address written without tcp:.
bool looks_like_host_and_port(const std::string &path) {
  const size_t colon = path.rfind(':');
  return colon != std::string::npos && colon + 1 < path.size() &&
         path.find_first_not_of("0123456789", colon + 1) == std::string::npos;
}

// What a user may do about a node this process may not open. A tty's
// group (dialout) is one to join, and the new group counts from the next
// login; a node only root may open (a hidraw node) needs a udev rule.
std::string permission_hint(const std::string &path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return "";
  const group *g = getgrgid(st.st_gid);
  if (g == nullptr || st.st_gid == 0 || (st.st_mode & S_IRGRP) == 0)
    return "; only root may open it: a udev rule gives it to you (man "
           "kestrav, FILES)";
  const std::string name = g->gr_name;
  const passwd *me = getpwuid(getuid());
  bool member = me != nullptr && me->pw_gid == st.st_gid;
  for (char **m = g->gr_mem; !member && m != nullptr && *m != nullptr; ++m)
    member = me != nullptr && std::strcmp(*m, me->pw_name) == 0;
  if (member)
    return "; you are in its group " + name +
           ", but not yet in this login: log out and in again";
  return "; it belongs to group " + name + ": sudo usermod -aG " + name +
         " $USER, then log out and in again";
}

// Why a node could not be opened, as the error a tool acts on: one that is
// not there is PortAbsent (--reconnect waits for it).
[[noreturn]] void open_failed(const std::string &path) {
  const int e = errno;
  const std::string why = path + ": " + std::strerror(e);
  if (e == ENOENT && looks_like_host_and_port(path))
    throw PortAbsent(why + " (for a TCP address, write tcp:" + path + ")");
  if (e == ENOENT) throw PortAbsent(why);
  if (e == EACCES || e == EPERM) throw PortError(why + permission_hint(path));
  throw PortError(why);
}

// --- A port over one file descriptor -------------------------------------
class FdPort : public Port {
 public:
  FdPort(std::string name, int fd) : Port(std::move(name)), fd_(fd) {}
  ~FdPort() override {
    if (fd_ >= 0) close(fd_);
  }

  ReadStatus read(uint8_t *buf, size_t cap, size_t &got,
                  int timeout_ms) override {
    got = 0;
    for (;;) {
      if (g_stop) return ReadStatus::Stopped;
      pollfd fds[2] = {{fd_, POLLIN, 0}, {g_stop_pipe[0], POLLIN, 0}};
      const int ready = poll(fds, g_stop_pipe[0] >= 0 ? 2 : 1, timeout_ms);
      if (ready < 0) {
        if (errno == EINTR) continue;
        fail("poll failed: " + reason());
      }
      if (g_stop) return ReadStatus::Stopped;
      if (ready == 0) return ReadStatus::Timeout;
      if (fds[0].revents & POLLNVAL) fail("the port was closed");
      const ssize_t n = ::read(fd_, buf, cap);
      if (n > 0) {
        got = static_cast<size_t>(n);
        on_data();
        return ReadStatus::Data;
      }
      if (n == 0) return ReadStatus::Closed;
      if (errno == EAGAIN || errno == EINTR) continue;
      if (port_gone(errno)) return ReadStatus::Closed;
      fail("read failed: " + reason());
    }
  }

  void write(const uint8_t *data, size_t n) override {
    while (n > 0) {
      const ssize_t w = ::write(fd_, data, n);
      if (w > 0) {
        data += w;
        n -= static_cast<size_t>(w);
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && errno == EAGAIN) {
        wait_for_room();
        continue;
      }
      if (w < 0 && port_gone(errno))
        throw PortGone(name() + ": write failed: " + reason());
      fail("write failed: " + reason());
    }
  }

  void drain() override {}

 protected:
  virtual void on_data() {}
  int fd_;

 private:
  // The port takes no more for now: wait a while, or, when patient, for as
  // long as the reader needs (a stop request ends that wait).
  void wait_for_room() {
    constexpr int kWriteTimeoutMs = 2000;
    pollfd fds[2] = {{fd_, POLLOUT, 0}, {g_stop_pipe[0], POLLIN, 0}};
    const int watched = patient_ && g_stop_pipe[0] >= 0 ? 2 : 1;
    const int ready = poll(fds, static_cast<nfds_t>(watched),
                           patient_ ? -1 : kWriteTimeoutMs);
    if (patient_ && g_stop) fail("stopped while waiting to write");
    if (ready == 0) fail("write timed out");
  }
};

// --- Serial devices --------------------------------------------------------
class TerminalPort : public FdPort {
 public:
  TerminalPort(const std::string &path, const LineSettings &line)
      : FdPort(path,
               open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    if (fd_ < 0 && errno == EBUSY) fail(kInUse);  // another's TIOCEXCL
    if (fd_ < 0) open_failed(path);
    // One process a port: a second one would steal bytes and end the
    // first one's stream with its stop frame. The lock is taken before
    // anything is flushed, set or written.
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0)
      fail(errno == EWOULDBLOCK ? kInUse : "cannot lock: " + reason());
    if (tcgetattr(fd_, &saved_) != 0) fail("not a terminal: " + reason());
#if defined(__linux__)
    // A UART known to lack what the line needs is refused before anything
    // is set.
    if (line.parity == LineSettings::Parity::Even) {
      const std::string driver = tty_driver(fd_);
      if (const char *note = uart_note(driver))
        refuse_line(driver + " is " + note, line);
    }
#endif
    termios raw = raw_settings(saved_, line);
    const speed_t standard = standard_speed(line.baud);
    if (standard != 0) {
      cfsetispeed(&raw, standard);
      cfsetospeed(&raw, standard);
    }
    // Raw first, then flush: until the terminal is raw, bytes that a device
    // streams are echoed back to it (a new USB adapter's tty starts cooked),
    // and the flush drops those still queued, with whatever came in cooked.
    if (tcsetattr(fd_, TCSANOW, &raw) != 0)
      fail("cannot set the line settings: " + reason());
    tcflush(fd_, TCIOFLUSH);
    try {
#if defined(__linux__)
      if (standard == 0 && !set_any_speed(fd_, line.baud))
        fail("cannot set " + std::to_string(line.baud) + " baud: " + reason());
#else
      if (standard == 0)
        fail(std::to_string(line.baud) + " baud is not a speed of this system");
#endif
      check_speed(line);
      check_line(line);
    } catch (...) {
      tcsetattr(fd_, TCSANOW, &saved_);
      throw;
    }
    restore_ = true;
    // Other opens are refused too, where the kernel enforces it (not for
    // root, whom only the lock stops).
    exclusive_ = ioctl(fd_, TIOCEXCL) == 0;
    set_low_latency();
  }

  ~TerminalPort() override {
#if defined(__linux__)
    if (low_latency_set_) {
      serial_struct s{};
      if (ioctl(fd_, TIOCGSERIAL, &s) == 0) {
        s.flags &= ~kLowLatency;
        ioctl(fd_, TIOCSSERIAL, &s);
      }
    }
#endif
    if (restore_) {
      // Bytes still queued would be taken in the old (often cooked) mode.
      tcflush(fd_, TCIFLUSH);
      tcsetattr(fd_, TCSANOW, &saved_);
    }
    if (exclusive_) ioctl(fd_, TIOCNXCL);
  }

  void drain() override {
    tcdrain(fd_);
  }

  uint32_t speed() const override {
#if defined(__linux__)
    uint32_t baud = 0;
    return get_speed(fd_, baud) ? baud : 0;
#else
    return 0;
#endif
  }

 private:
  // A USB-serial chip holds received bytes until its latency timer runs out
  // (16 ms by default on FTDI chips) before it sends them on, so records
  // would arrive in bursts, late. Low-latency mode makes drivers that know
  // it shorten that (ftdi_sio sets the timer to 1 ms). Where the flag was
  // already set, or the driver has no serial_struct (a pty), nothing is
  // changed, and nothing is put back on close.
#if defined(__linux__)
  static constexpr int kLowLatency = static_cast<int>(ASYNC_LOW_LATENCY);
#endif
  void set_low_latency() {
#if defined(__linux__)
    serial_struct s{};
    if (ioctl(fd_, TIOCGSERIAL, &s) != 0 || (s.flags & kLowLatency)) return;
    s.flags |= kLowLatency;
    low_latency_set_ = ioctl(fd_, TIOCSSERIAL, &s) == 0;
#endif
  }

  // Reads the line back, as the speed is: a driver may clear PARENB or
  // CSTOPB it cannot do. A pseudo-terminal carries bytes and has no line
  // (it clears PARENB), so it is not read back.
  void check_line(const LineSettings &line) {
#if defined(__linux__)
    struct stat st {};
    if (fstat(fd_, &st) == 0 && pty_slave_major(major(st.st_rdev))) return;
#endif
    termios got{};
    if (tcgetattr(fd_, &got) != 0)
      fail("cannot read the settings back: " + reason());
    const std::string dropped = dropped_settings(got, line);
    if (!dropped.empty())
      refuse_line("the port dropped " + dropped +
                      " when they were set (its driver or UART cannot do "
                      "them)",
                  line);
  }

  static constexpr const char *kInUse = "in use by another process";
  termios saved_{};
  bool restore_ = false;
  bool exclusive_ = false;
  bool low_latency_set_ = false;
};

// --- The device side of a pseudo-terminal -----------------------------------
class PtyPort : public FdPort {
 public:
  explicit PtyPort(int master) : FdPort("pty", master) {
    if (fd_ < 0) fail("cannot create a pseudo-terminal: " + reason());
    if (grantpt(fd_) != 0 || unlockpt(fd_) != 0)
      fail("cannot unlock the pseudo-terminal: " + reason());
    const char *path = ptsname(fd_);
    if (path == nullptr) fail("no terminal name: " + reason());
    slave_path_ = path;
    // Until the host opens its side, the device side would read as hung up;
    // hold the host side open until the first bytes arrive. (Its last close
    // drops what the host had not read: the next host starts clean.)
    hold_for_next_host();
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }
  void hold_for_next_host() override {
    if (held_slave_ >= 0) return;
    held_slave_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (held_slave_ < 0) fail(slave_path_ + ": " + reason());
  }
  ~PtyPort() override {
    if (held_slave_ >= 0) close(held_slave_);
  }
  const std::string &slave_path() const { return slave_path_; }

 protected:
  void on_data() override {
    if (held_slave_ >= 0) {
      close(held_slave_);
      held_slave_ = -1;
    }
  }

 private:
  std::string slave_path_;
  int held_slave_ = -1;
};

// --- TCP ---------------------------------------------------------------------
class TcpPort : public FdPort {
 public:
  TcpPort(std::string name, int fd) : FdPort(std::move(name), fd) {
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }

  // The last bytes (the stop frame) must reach the peer's program, not just
  // its machine: a socket closed with received bytes unread sends a reset,
  // and a reset makes the peer drop what it had not read yet. So the
  // sending side is shut (a FIN after the data), and what still comes is
  // read and dropped until the peer closes too, or for kDrainMs at most.
  void drain() override {
    shutdown(fd_, SHUT_WR);
    const double until = monotonic_seconds() + kDrainMs / 1000.0;
    uint8_t sink[4096];
    for (double left; (left = until - monotonic_seconds()) > 0;) {
      pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) break;
      const ssize_t n = ::read(fd_, sink, sizeof sink);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
    }
  }
  static constexpr int kDrainMs = 500;
};

addrinfo *resolve(const std::string &address, bool passive) {
  std::string host, port;
  if (!split_tcp(address, host, port))
    throw PortError(address + ": not of the form tcp:HOST:PORT");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  if (passive) hints.ai_flags = AI_PASSIVE;
  addrinfo *found = nullptr;
  const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) throw PortError(address + ": " + gai_strerror(rc));
  return found;
}

// Connects with a bounded wait, so that an unreachable host cannot hang the
// tool.
constexpr int kConnectTimeoutMs = 5000;

int connect_to(const std::string &address) {
  addrinfo *found = resolve(address, false);
  std::string why = "no address";
  int fd = -1;
  bool reset = false;    // the peer took the connection, then dropped it
  bool refused = false;  // nothing listens there (yet)
  for (addrinfo *a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                a->ai_protocol);
    if (fd < 0) {
      why = reason();
      continue;
    }
    int rc = connect(fd, a->ai_addr, a->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      pollfd p = {fd, POLLOUT, 0};
      if (poll(&p, 1, kConnectTimeoutMs) == 1) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        errno = err;
        rc = err == 0 ? 0 : -1;
      } else {
        errno = ETIMEDOUT;
      }
    }
    if (rc != 0) {
      why = reason();
      reset = errno == ECONNRESET;
      refused = errno == ECONNREFUSED;
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd < 0 && reset) throw PortGone(address + ": " + why);
  if (fd < 0 && refused) throw PortAbsent(address + ": " + why);
  if (fd < 0) throw PortError(address + ": " + why);
  return fd;
}

}  // namespace

void install_stop_handlers() {
  if (g_stop_pipe[0] < 0 && pipe(g_stop_pipe) == 0) {
    fcntl(g_stop_pipe[0], F_SETFL, O_NONBLOCK);
    fcntl(g_stop_pipe[1], F_SETFL, O_NONBLOCK);
  }
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a closed peer or pipe shows as EPIPE instead
}

bool stop_requested() {
  return g_stop != 0;
}

bool watches_device_node(const std::string &address) {
  return address.compare(0, 4, "tcp:") != 0;
}

bool device_node_exists(const std::string &address) {
  if (!watches_device_node(address)) return false;
  struct stat st {};
  return stat(address.c_str(), &st) == 0;
}

double monotonic_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) +
         static_cast<double>(ts.tv_nsec) * 1e-9;
}

bool sleep_until(double deadline) {
  timespec ts;
  double whole = 0;
  const double fraction = std::modf(deadline, &whole);
  ts.tv_sec = static_cast<time_t>(whole);
  ts.tv_nsec = static_cast<long>(fraction * 1e9);
  for (;;) {
    if (g_stop) return false;
    const int rc =
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    if (rc == 0) return !g_stop;
    if (rc != EINTR) return !g_stop;
  }
}

std::unique_ptr<Port> open_port(const std::string &address,
                                const LineSettings &settings) {
  std::string host, port;
  if (split_tcp(address, host, port))
    return std::make_unique<TcpPort>(address, connect_to(address));
  return std::make_unique<TerminalPort>(address, settings);
}

std::unique_ptr<Port> accept_tcp(const std::string &address,
                                 void (*announce)(const std::string &)) {
  addrinfo *found = resolve(address, true);
  const int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC,
                        found->ai_protocol);
  const int one = 1;
  bool ok = fd >= 0;
  if (ok) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  ok = ok && bind(fd, found->ai_addr, found->ai_addrlen) == 0 &&
       listen(fd, 1) == 0;
  freeaddrinfo(found);
  if (!ok) {
    const std::string why = reason();
    if (fd >= 0) close(fd);
    throw PortError(address + ": " + why);
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len);
  char host[NI_MAXHOST], port[NI_MAXSERV];
  getnameinfo(reinterpret_cast<sockaddr *>(&bound), len, host, sizeof host,
              port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
  const std::string bound_name = join_tcp(host, port);
  announce(bound_name);
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {g_stop_pipe[0], POLLIN, 0}};
    const int ready = poll(fds, g_stop_pipe[0] >= 0 ? 2 : 1, -1);
    if (g_stop) {
      close(fd);
      return nullptr;
    }
    if (ready < 0 && errno == EINTR) continue;
    const int peer = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      const std::string why = reason();
      close(fd);
      throw PortError(bound_name + ": accept failed: " + why);
    }
    close(fd);
    return std::make_unique<TcpPort>(bound_name, peer);
  }
}

HidSource open_hid(const std::string &device) {
  HidSource source;
  if (device == "-") {
    source.port = std::make_unique<FdPort>("standard input", dup(0));
    source.recording = true;
    return source;
  }
  struct stat st {};
  if (stat(device.c_str(), &st) != 0) open_failed(device);
  if (!S_ISCHR(st.st_mode)) {
    // A recording. Opened without waiting: a FIFO's reads then wait for
    // its writer in poll, where the run limits and a stop end the wait.
    const int fd = open(device.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && g_stop) return source;
    if (fd < 0) throw PortError(device + ": " + reason());
    source.port = std::make_unique<FdPort>(device, fd);
    source.recording = true;
    return source;
  }
#if defined(__linux__)
  const int fd = open(device.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) open_failed(device);
  auto port = std::make_unique<FdPort>(device, fd);
  hidraw_devinfo info{};
  if (ioctl(fd, HIDIOCGRAWINFO, &info) != 0)
    throw PortError(device + ": not a hidraw device: " + reason());
  char name[256] = {0};
  if (ioctl(fd, HIDIOCGRAWNAME(sizeof name - 1), name) < 0) name[0] = '\0';
  const char *bus = info.bustype == BUS_USB         ? "usb"
                    : info.bustype == BUS_BLUETOOTH ? "bluetooth"
                    : info.bustype == BUS_I2C       ? "i2c"
                                                    : "bus";
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04x:%04x",
                static_cast<unsigned>(info.vendor) & 0xFFFF,
                static_cast<unsigned>(info.product) & 0xFFFF);
  source.description = std::string(bus) + " " + ids + " " + name;
  source.port = std::move(port);
  return source;
#else
  throw PortError(device + ": HID devices are read through hidraw (Linux)");
#endif
}

std::unique_ptr<Port> open_pty(std::string &slave) {
  auto pty = std::make_unique<PtyPort>(posix_openpt(O_RDWR | O_NOCTTY));
  slave = pty->slave_path();
  return pty;
}

}  // namespace kestrav_tool

#endif  // !_WIN32
