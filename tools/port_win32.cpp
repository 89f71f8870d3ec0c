// Win32 ports: COM ports and TCP over Winsock. Reads wait in slices of
// kSliceMs so that a console control event ends a wait promptly; a COM read
// returns as soon as any byte has arrived.
#if defined(_WIN32)

// Winsock's headers must come before <windows.h>.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include "port.h"

namespace kestrav_tool {
namespace {

constexpr DWORD kSliceMs = 100;

// Windows 10 1803 and later; older systems (and Wine) may refuse it, and
// then an ordinary waitable timer serves.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif
constexpr DWORD kWriteTimeoutMs = 2000;

volatile LONG g_stop = 0;

BOOL WINAPI on_console_event(DWORD) {
  InterlockedExchange(&g_stop, 1);
  return TRUE;  // handled: the read loop ends and the stop frame goes out
}

std::string system_reason(DWORD code) {
  char text[512] = {0};
  DWORD n =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' ||
                   text[n - 1] == ' ' || text[n - 1] == '.'))
    text[--n] = 0;
  if (n == 0) return "system error " + std::to_string(code);
  return text;
}

std::string last_reason() {
  return system_reason(GetLastError());
}
std::string socket_reason() {
  return system_reason(static_cast<DWORD>(WSAGetLastError()));
}

// The errors of a COM port whose adapter was unplugged.
bool com_port_gone(DWORD e) {
  return e == ERROR_ACCESS_DENIED || e == ERROR_BAD_COMMAND ||
         e == ERROR_DEVICE_NOT_CONNECTED || e == ERROR_GEN_FAILURE ||
         e == ERROR_OPERATION_ABORTED || e == ERROR_FILE_NOT_FOUND;
}

// The errors of a TCP peer that left.
bool socket_gone(int e) {
  return e == WSAECONNRESET || e == WSAECONNABORTED || e == WSAESHUTDOWN ||
         e == WSAENETRESET;
}

// A read's time limit on GetTickCount64; none when timeout_ms is negative.
class ReadLimit {
 public:
  explicit ReadLimit(int timeout_ms)
      : limited_(timeout_ms >= 0),
        deadline_(GetTickCount64() +
                  static_cast<ULONGLONG>(limited_ ? timeout_ms : 0)) {}
  bool over() const { return limited_ && GetTickCount64() >= deadline_; }
  // The next wait: one slice, or what is left if that is less.
  DWORD slice() const {
    if (!limited_) return kSliceMs;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline_) return 0;
    const ULONGLONG left = deadline_ - now;
    return left < kSliceMs ? static_cast<DWORD>(left) : kSliceMs;
  }

 private:
  bool limited_;
  ULONGLONG deadline_;
};

// --- COM ports
// -------------------------------------------------------------------
class ComPort : public Port {
 public:
  ComPort(const std::string &address, const LineSettings &line)
      : Port(address) {
    // \\.\COMn opens every port, COM10 and above included.
    const std::string path = "\\\\.\\" + address;
    // One process a port, so that a second one can neither steal bytes nor
    // end the first one's stream. Windows refuses a second open of a COM
    // port opened with share mode 0; a named mutex says the same between
    // two of these tools where that is not enforced (Wine maps COM ports
    // to Unix devices without it).
    std::string key = address;
    for (char &c : key) c = c == '\\' ? '_' : static_cast<char>(toupper(c));
    owner_.h =
        CreateMutexA(nullptr, TRUE, ("Global\\kestrav-port-" + key).c_str());
    if (owner_.h != nullptr && GetLastError() == ERROR_ALREADY_EXISTS)
      fail(kInUse);
    handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                          nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
      const DWORD e = GetLastError();
      if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION)
        fail(kInUse);
      fail(system_reason(e));
    }
    try {
      configure(line);
    } catch (...) {
      // Put back what was changed, as the destructor would have.
      if (restore_) SetCommState(handle_, &saved_state_);
      CloseHandle(handle_);
      throw;
    }
  }

 private:
  void configure(const LineSettings &line) {
    if (!GetCommState(handle_, &saved_state_) ||
        !GetCommTimeouts(handle_, &saved_timeouts_))
      fail("not a serial port: " + last_reason());
    DCB dcb = saved_state_;
    dcb.BaudRate = line.baud;
    dcb.ByteSize = 8;
    dcb.Parity =
        line.parity == LineSettings::Parity::Even ? EVENPARITY : NOPARITY;
    dcb.StopBits = line.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = line.parity == LineSettings::Parity::Even;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(handle_, &dcb))
      fail("cannot set the line settings: " + last_reason());
    restore_ = true;
    // A read returns at once with whatever has arrived, or waits up to the
    // constant for the first byte.
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = kSliceMs;
    t.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    if (!SetCommTimeouts(handle_, &t))
      fail("cannot set the timeouts: " + last_reason());
    PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);
    check_speed(line);
  }

 public:
  ~ComPort() override {
    if (restore_) {
      PurgeComm(handle_, PURGE_RXCLEAR);
      SetCommState(handle_, &saved_state_);
      SetCommTimeouts(handle_, &saved_timeouts_);
    }
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }

  ReadStatus read(uint8_t *buf, size_t cap, size_t &got,
                  int timeout_ms) override {
    got = 0;
    const ReadLimit limit(timeout_ms);
    for (;;) {
      if (g_stop) return ReadStatus::Stopped;
      DWORD n = 0;
      if (!ReadFile(handle_, buf, static_cast<DWORD>(cap), &n, nullptr)) {
        if (com_port_gone(GetLastError())) return ReadStatus::Closed;
        fail("read failed: " + last_reason());
      }
      if (g_stop) return ReadStatus::Stopped;
      if (n > 0) {
        got = n;
        return ReadStatus::Data;
      }
      if (limit.over()) return ReadStatus::Timeout;
    }
  }

  void write(const uint8_t *data, size_t n) override {
    while (n > 0) {
      DWORD w = 0;
      if (!WriteFile(handle_, data, static_cast<DWORD>(n), &w, nullptr)) {
        if (com_port_gone(GetLastError()))
          throw PortGone(name() + ": write failed: " + last_reason());
        fail("write failed: " + last_reason());
      }
      if (w == 0 && patient_ && g_stop) fail("stopped while waiting to write");
      if (w == 0 && !patient_) fail("write timed out");
      data += w;
      n -= w;
    }
  }

  void drain() override { FlushFileBuffers(handle_); }

  uint32_t speed() const override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    return GetCommState(handle_, &dcb) ? dcb.BaudRate : 0;
  }

 private:
  static constexpr const char *kInUse = "in use by another process";
  // Closed even when the constructor fails, so that a retry can take it.
  struct Owned {
    HANDLE h = nullptr;
    ~Owned() {
      if (h != nullptr) CloseHandle(h);
    }
  } owner_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  DCB saved_state_{};
  COMMTIMEOUTS saved_timeouts_{};
  bool restore_ = false;
};

// --- TCP
// -------------------------------------------------------------------------
void start_winsock() {
  static bool started = false;
  if (started) return;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
    throw PortError("Winsock: " + socket_reason());
  started = true;
}

class SocketPort : public Port {
 public:
  SocketPort(std::string name, SOCKET s) : Port(std::move(name)), socket_(s) {
    BOOL one = TRUE;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY,
               reinterpret_cast<const char *>(&one), sizeof one);
  }
  ~SocketPort() override { closesocket(socket_); }

  ReadStatus read(uint8_t *buf, size_t cap, size_t &got,
                  int timeout_ms) override {
    got = 0;
    const ReadLimit limit(timeout_ms);
    for (;;) {
      if (g_stop) return ReadStatus::Stopped;
      const DWORD slice = limit.slice();
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(socket_, &readable);
      timeval tv = {0, static_cast<long>(slice) * 1000};
      const int ready = select(0, &readable, nullptr, nullptr, &tv);
      if (ready == SOCKET_ERROR) fail("select failed: " + socket_reason());
      if (g_stop) return ReadStatus::Stopped;
      if (ready == 0) {
        if (limit.over()) return ReadStatus::Timeout;
        continue;
      }
      const int n = recv(socket_, reinterpret_cast<char *>(buf),
                         static_cast<int>(cap), 0);
      if (n > 0) {
        got = static_cast<size_t>(n);
        return ReadStatus::Data;
      }
      if (n == 0 || socket_gone(WSAGetLastError())) return ReadStatus::Closed;
      fail("read failed: " + socket_reason());
    }
  }

  void write(const uint8_t *data, size_t n) override {
    while (n > 0) {
      const int w = send(socket_, reinterpret_cast<const char *>(data),
                         static_cast<int>(n), 0);
      if (w == SOCKET_ERROR && socket_gone(WSAGetLastError()))
        throw PortGone(name() + ": write failed: " + socket_reason());
      if (w == SOCKET_ERROR) fail("write failed: " + socket_reason());
      data += w;
      n -= static_cast<size_t>(w);
    }
  }

  void drain() override {}

 private:
  SOCKET socket_;
};

addrinfo *resolve(const std::string &address, bool passive) {
  start_winsock();
  std::string host, port;
  if (!split_tcp(address, host, port))
    throw PortError(address + ": not of the form tcp:HOST:PORT");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  if (passive) hints.ai_flags = AI_PASSIVE;
  addrinfo *found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0)
    throw PortError(address + ": " + socket_reason());
  return found;
}

}  // namespace

void install_stop_handlers() {
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool stop_requested() {
  return g_stop != 0;
}

double monotonic_seconds() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

// A waitable timer, high-resolution where the system has it, set afresh
// for each deadline from the monotonic clock, so that the period never
// drifts. Waits are cut into slices so that a console event ends them.
bool sleep_until(double deadline) {
  static HANDLE timer = [] {
    HANDLE t = CreateWaitableTimerExW(nullptr, nullptr,
                                      CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                      TIMER_ALL_ACCESS);
    return t != nullptr ? t : CreateWaitableTimerW(nullptr, TRUE, nullptr);
  }();
  for (;;) {
    if (g_stop) return false;
    const double left = deadline - monotonic_seconds();
    if (left <= 0) return true;
    const double wait = left < kSliceMs / 1000.0 ? left : kSliceMs / 1000.0;
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(wait * 1e7);  // relative, 100 ns
    if (timer == nullptr ||
        !SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
      Sleep(static_cast<DWORD>(wait * 1000.0));
    } else {
      WaitForSingleObject(timer, INFINITE);
    }
  }
}

std::unique_ptr<Port> open_port(const std::string &address,
                                const LineSettings &settings) {
  std::string host, port;
  if (!split_tcp(address, host, port))
    return std::make_unique<ComPort>(address, settings);
  addrinfo *found = resolve(address, false);
  std::string why = "no address";
  SOCKET s = INVALID_SOCKET;
  for (addrinfo *a = found; a != nullptr && s == INVALID_SOCKET;
       a = a->ai_next) {
    s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      why = socket_reason();
    } else if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
      why = socket_reason();
      closesocket(s);
      s = INVALID_SOCKET;
    }
  }
  freeaddrinfo(found);
  if (s == INVALID_SOCKET) throw PortError(address + ": " + why);
  return std::make_unique<SocketPort>(address, s);
}

std::unique_ptr<Port> accept_tcp(const std::string &address,
                                 void (*announce)(const std::string &)) {
  addrinfo *found = resolve(address, true);
  SOCKET s = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
  bool ok = s != INVALID_SOCKET &&
            bind(s, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0 &&
            listen(s, 1) == 0;
  freeaddrinfo(found);
  if (!ok) {
    const std::string why = socket_reason();
    if (s != INVALID_SOCKET) closesocket(s);
    throw PortError(address + ": " + why);
  }
  sockaddr_storage bound{};
  int len = sizeof bound;
  getsockname(s, reinterpret_cast<sockaddr *>(&bound), &len);
  char host[NI_MAXHOST], port[NI_MAXSERV];
  getnameinfo(reinterpret_cast<sockaddr *>(&bound), len, host, sizeof host,
              port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
  const std::string bound_name = join_tcp(host, port);
  announce(bound_name);
  for (;;) {
    if (g_stop) {
      closesocket(s);
      return nullptr;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval tv = {0, static_cast<long>(kSliceMs) * 1000};
    if (select(0, &readable, nullptr, nullptr, &tv) != 1) continue;
    SOCKET peer = accept(s, nullptr, nullptr);
    closesocket(s);
    if (peer == INVALID_SOCKET)
      throw PortError(bound_name + ": accept failed: " + socket_reason());
    return std::make_unique<SocketPort>(bound_name, peer);
  }
}

std::unique_ptr<Port> open_pty(std::string &) {
  throw PortError("--pty: pseudo-terminals exist only on POSIX systems");
}

}  // namespace kestrav_tool

#endif  // _WIN32
