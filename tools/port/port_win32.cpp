// Win32 ports: COM ports and TCP over Winsock. Reads wait in slices of
// kSliceMs so that a console control event ends a wait promptly; a COM read
// returns as soon as any byte has arrived.
#if defined(_WIN32)

// Winsock's headers must come before <windows.h>.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>
// After <windows.h>. MinGW's hidsdi.h declares no C linkage of its own.
extern "C" {
#include <hidsdi.h>
}
#include <setupapi.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "port.h"
#include "ports.h"

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
      if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND)
        throw PortAbsent(name() + ": " + system_reason(e));
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

  // As on POSIX: the sending side shut, and what still comes read and
  // dropped until the peer closes (or kDrainMs), so that closing sends no
  // reset that would make the peer drop the stop frame unread.
  void drain() override {
    shutdown(socket_, SD_SEND);
    const ReadLimit limit(kDrainMs);
    char sink[4096];
    while (!limit.over()) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(socket_, &readable);
      timeval tv = {0, static_cast<long>(limit.slice()) * 1000};
      const int ready = select(0, &readable, nullptr, nullptr, &tv);
      if (ready == SOCKET_ERROR) break;
      if (ready == 0) continue;
      if (recv(socket_, sink, sizeof sink, 0) <= 0) break;
    }
  }
  static constexpr int kDrainMs = 500;

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

bool watches_device_node(const std::string &) {
  return false;
}

bool device_node_exists(const std::string &) {
  return false;
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
  bool refused = false;  // nothing listens there (yet)
  SOCKET s = INVALID_SOCKET;
  for (addrinfo *a = found; a != nullptr && s == INVALID_SOCKET;
       a = a->ai_next) {
    s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      why = socket_reason();
    } else if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
      why = socket_reason();
      refused = WSAGetLastError() == WSAECONNREFUSED;
      closesocket(s);
      s = INVALID_SOCKET;
    }
  }
  freeaddrinfo(found);
  if (s == INVALID_SOCKET && refused) throw PortAbsent(address + ": " + why);
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

// --- HID devices and recordings
// ---------------------------------------------------------------
namespace {

// A HID device, read with overlapped I/O so that a console event ends the
// wait. Every report comes with its ID first (0 for a device without
// numbered reports).
class HidPort : public Port {
 public:
  HidPort(const std::string &name, HANDLE h)
      : Port(name),
        handle_(h),
        event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~HidPort() override {
    CancelIo(handle_);
    CloseHandle(handle_);
    if (event_ != nullptr) CloseHandle(event_);
  }

  ReadStatus read(uint8_t *buf, size_t cap, size_t &got,
                  int timeout_ms) override {
    got = 0;
    const ReadLimit limit(timeout_ms);
    OVERLAPPED o{};
    o.hEvent = event_;
    ResetEvent(event_);
    DWORD n = 0;
    if (!ReadFile(handle_, buf, static_cast<DWORD>(cap), &n, &o)) {
      const DWORD e = GetLastError();
      if (e != ERROR_IO_PENDING) {
        if (com_port_gone(e) || e == ERROR_DEVICE_NOT_CONNECTED)
          return ReadStatus::Closed;
        fail("read failed: " + system_reason(e));
      }
      for (;;) {
        if (WaitForSingleObject(event_, limit.slice()) == WAIT_OBJECT_0) break;
        if (g_stop || limit.over()) {
          CancelIo(handle_);
          GetOverlappedResult(handle_, &o, &n, TRUE);
          return g_stop ? ReadStatus::Stopped : ReadStatus::Timeout;
        }
      }
      if (!GetOverlappedResult(handle_, &o, &n, FALSE)) {
        const DWORD f = GetLastError();
        if (com_port_gone(f)) return ReadStatus::Closed;
        fail("read failed: " + system_reason(f));
      }
    }
    got = n;
    return n > 0 ? ReadStatus::Data : ReadStatus::Timeout;
  }
  void write(const uint8_t *, size_t) override {
    fail("reports are only read");
  }
  void drain() override {}

 private:
  HANDLE handle_;
  HANDLE event_;
};

// A recording: a file or standard input, read as a byte stream.
class FilePort : public Port {
 public:
  FilePort(const std::string &name, HANDLE h, bool owned)
      : Port(name), handle_(h), owned_(owned) {}
  ~FilePort() override {
    if (owned_) CloseHandle(handle_);
  }
  ReadStatus read(uint8_t *buf, size_t cap, size_t &got, int) override {
    got = 0;
    if (g_stop) return ReadStatus::Stopped;
    DWORD n = 0;
    if (!ReadFile(handle_, buf, static_cast<DWORD>(cap), &n, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) return ReadStatus::Closed;
      fail("read failed: " + last_reason());
    }
    if (n == 0) return ReadStatus::Closed;  // the end of the recording
    got = n;
    return ReadStatus::Data;
  }
  void write(const uint8_t *, size_t) override { fail("recordings are read"); }
  void drain() override {}

 private:
  HANDLE handle_;
  bool owned_;
};

// "046d:c21d": four hex digits, a colon, four hex digits.
bool is_vid_pid(const std::string &s, USHORT &vid, USHORT &pid) {
  if (s.size() != 9 || s[4] != ':') return false;
  for (size_t k = 0; k < 9; ++k)
    if (k != 4 && !isxdigit(static_cast<unsigned char>(s[k]))) return false;
  vid = static_cast<USHORT>(strtoul(s.substr(0, 4).c_str(), nullptr, 16));
  pid = static_cast<USHORT>(strtoul(s.substr(5).c_str(), nullptr, 16));
  return true;
}

}  // namespace

std::vector<std::string> hid_device_paths() {
  std::vector<std::string> paths;
  GUID guid;
  HidD_GetHidGuid(&guid);
  HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return paths;
  SP_DEVICE_INTERFACE_DATA item{};
  item.cbSize = sizeof item;
  for (DWORD k = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, k, &item);
       ++k) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &item, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
    std::vector<char> buf(size);
    auto *detail =
        reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(buf.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(set, &item, detail, size, nullptr,
                                         nullptr))
      paths.push_back(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

bool hid_attributes(const std::string &path, std::string &vid, std::string &pid,
                    std::string &product) {
  // No access rights are needed to read the attributes.
  HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  HIDD_ATTRIBUTES a{};
  a.Size = sizeof a;
  const bool ok = HidD_GetAttributes(h, &a);
  if (ok) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04x", a.VendorID);
    vid = hex;
    std::snprintf(hex, sizeof hex, "%04x", a.ProductID);
    pid = hex;
    wchar_t name[128] = {0};
    if (HidD_GetProductString(h, name, sizeof name)) {
      char narrow[256] = {0};
      WideCharToMultiByte(CP_UTF8, 0, name, -1, narrow, sizeof narrow, nullptr,
                          nullptr);
      product = narrow;
    }
  }
  CloseHandle(h);
  return ok;
}

HidSource open_hid(const std::string &device) {
  HidSource source;
  if (device == "-") {
    source.port = std::make_unique<FilePort>(
        "standard input", GetStdHandle(STD_INPUT_HANDLE), false);
    source.recording = true;
    return source;
  }
  std::string path = device;
  USHORT vid = 0, pid = 0;
  const bool by_ids = is_vid_pid(device, vid, pid);
  if (by_ids) {
    path.clear();
    for (const std::string &p : hid_device_paths()) {
      std::string v, d, name;
      if (hid_attributes(p, v, d, name) &&
          strtoul(v.c_str(), nullptr, 16) == vid &&
          strtoul(d.c_str(), nullptr, 16) == pid) {
        path = p;
        break;
      }
    }
    if (path.empty()) throw PortError(device + ": no such HID device");
  }
  const bool is_device = by_ids || path.compare(0, 4, "\\\\?\\") == 0;
  if (!is_device) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
      throw PortError(device + ": " + last_reason());
    source.port = std::make_unique<FilePort>(device, h, true);
    source.recording = true;
    return source;
  }
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw PortError(device + ": " + last_reason());
  std::string v, d, name;
  if (hid_attributes(path, v, d, name))
    source.description = v + ":" + d + " " + name;
  source.port = std::make_unique<HidPort>(device, h);
  return source;
}

std::unique_ptr<Port> open_pty(std::string &) {
  throw PortError("--pty: pseudo-terminals exist only on POSIX systems");
}

}  // namespace kestrav_tool

#endif  // _WIN32
