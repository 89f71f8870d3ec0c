#include "http_server.h"

#if defined(_WIN32)
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <bcrypt.h>
// clang-format on
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>

#include "options.h"
#include "port.h"
#include "serve_address.h"

namespace kestrav_tool {
namespace http {

// --- Sockets, on both systems ----------------------------------------------
namespace {

#if defined(_WIN32)
using Socket = SOCKET;
using AddressSize = int;
constexpr Socket kNoSocket = INVALID_SOCKET;
using PollFd = WSAPOLLFD;
int poll_sockets(PollFd *fds, size_t n, int ms) {
  return WSAPoll(fds, static_cast<ULONG>(n), ms);
}
void close_socket(Socket s) {
  closesocket(s);
}
bool would_block() {
  return WSAGetLastError() == WSAEWOULDBLOCK;
}
bool out_of_descriptors() {
  return WSAGetLastError() == WSAEMFILE || WSAGetLastError() == WSAENOBUFS;
}
std::string socket_reason() {
  char text[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, static_cast<DWORD>(WSAGetLastError()), 0, text,
                 sizeof text, nullptr);
  std::string s = text;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' ||
                        s.back() == ' ' || s.back() == '.'))
    s.pop_back();
  return s;
}
void set_nonblocking(Socket s) {
  u_long on = 1;
  ioctlsocket(s, static_cast<long>(FIONBIO), &on);
}
void start_sockets() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}
int send_some(Socket s, const char *data, size_t n) {
  return send(s, data, static_cast<int>(std::min<size_t>(n, 1 << 20)), 0);
}
int recv_some(Socket s, char *data, size_t n) {
  return recv(s, data, static_cast<int>(n), 0);
}
#else
using Socket = int;
using AddressSize = socklen_t;
constexpr Socket kNoSocket = -1;
using PollFd = pollfd;
int poll_sockets(PollFd *fds, size_t n, int ms) {
  return poll(fds, static_cast<nfds_t>(n), ms);
}
void close_socket(Socket s) {
  close(s);
}
bool would_block() {
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}
bool out_of_descriptors() {
  return errno == EMFILE || errno == ENFILE;
}
std::string socket_reason() {
  return system_reason();
}
void set_nonblocking(Socket s) {
  fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
  fcntl(s, F_SETFD, FD_CLOEXEC);
}
void start_sockets() {}
int send_some(Socket s, const char *data, size_t n) {
  return static_cast<int>(::send(s, data, n, MSG_NOSIGNAL));
}
int recv_some(Socket s, char *data, size_t n) {
  return static_cast<int>(::recv(s, data, n, 0));
}
#endif

#if defined(_WIN32)
// Windows has no descriptor to hold in reserve: the listener rests instead.
struct Reserve {
  bool take_one(Socket, const std::string &) { return false; }
};
#else
// One descriptor held back for the moment the process has no other: it is
// let go to accept a connection that would otherwise stay pending, and
// keep the listener readable, and the loop spinning, for good.
struct Reserve {
  int fd = open_reserve();
  ~Reserve() {
    if (fd >= 0) close(fd);
  }
  static int open_reserve() { return open("/dev/null", O_RDONLY | O_CLOEXEC); }
  // Accepts one pending connection with the reserve and closes it after
  // sending it busy; false when there is no reserve to spend.
  bool take_one(Socket listener, const std::string &busy) {
    if (fd < 0) fd = open_reserve();
    if (fd < 0) return false;
    close(fd);
    fd = -1;
    const Socket s = ::accept(listener, nullptr, nullptr);
    if (s != kNoSocket) {
      send_some(s, busy.data(), busy.size());
      close(s);
    }
    fd = open_reserve();
    return s != kNoSocket;
  }
};
#endif

constexpr int kPollMs = 100;
constexpr double kPullSeconds = 0.01;
constexpr size_t kReadPerTurn = 64 * 1024;
// Descriptors left to the rest of the run when a low limit bounds the
// connections, and the fewest connections a server keeps all the same.
constexpr size_t kSpareDescriptors = 24;
constexpr size_t kMinConnections = 8;
// How long the listener rests when no descriptor can be had for a
// connection at all.
constexpr double kRestSeconds = 0.1;

}  // namespace

const char *status_text(int status) {
  switch (status) {
    case 101:
      return "Switching Protocols";
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 411:
      return "Length Required";
    case 413:
      return "Content Too Large";
    case 426:
      return "Upgrade Required";
    case 431:
      return "Request Header Fields Too Large";
    case 503:
      return "Service Unavailable";
  }
  return "Error";
}

std::string random_token() {
  constexpr size_t kTokenBytes = 16;
  uint8_t bytes[kTokenBytes];
#if defined(_WIN32)
  if (BCryptGenRandom(nullptr, bytes, sizeof bytes,
                      BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
    throw ToolError("no random numbers from the system");
#else
  size_t have = 0;
  while (have < sizeof bytes) {
    const ssize_t n = getrandom(bytes + have, sizeof bytes - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ToolError("getrandom failed: " + system_reason());
    have += static_cast<size_t>(n);
  }
#endif
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (const uint8_t b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 0x0F];
  }
  return token;
}

// Compares in time that depends only on the length of what was offered, so
// that the time taken tells nothing of how much of the token was right.
bool same_token(const std::string &offered, const std::string &token) {
  unsigned char diff = offered.size() == token.size() ? 0 : 1;
  for (size_t k = 0; k < offered.size(); ++k)
    diff |= static_cast<unsigned char>(offered[k] ^ token[k % token.size()]);
  return diff == 0;
}

Response plain_response(int status, const std::string &why) {
  Response r;
  r.status = status;
  r.body = why + "\n";
  return r;
}

// --- The loop ----------------------------------------------------------------
namespace {

std::string answer_head(const Response &r, size_t length) {
  std::string head = "HTTP/1.1 " + std::to_string(r.status) + " " +
                     status_text(r.status) + "\r\n";
  if (r.duplex) {  // an upgrade: its own headers, and the connection stays
    for (const auto &h : r.headers) head += h.first + ": " + h.second + "\r\n";
    return head + "\r\n";
  }
  if (r.status != 204) head += "Content-Type: " + r.content_type + "\r\n";
  for (const auto &h : r.headers) head += h.first + ": " + h.second + "\r\n";
  if (!r.stream && r.status != 204)
    head += "Content-Length: " + std::to_string(length) + "\r\n";
  head += "Connection: close\r\n\r\n";
  return head;
}

std::string plain_answer(int status, const std::string &why) {
  const Response r = plain_response(status, why);
  return answer_head(r, r.body.size()) + r.body;
}

struct Connection {
  Socket socket = kNoSocket;
  enum class State { Reading, Answering, Streaming } state = State::Reading;
  double opened = 0;    // monotonic seconds
  double answered = 0;  // when the answer began
  std::string in;
  size_t head_end = 0;  // 0 until the head is complete
  size_t body_size = 0;
  std::string out;
  size_t sent = 0;
  std::shared_ptr<Stream> stream;
  Duplex *duplex = nullptr;  // an upgraded connection's other end
  Request request;           // filled in as it comes
  bool finishing = false;    // close once out is sent
  bool read_closed = false;  // the client sent all it will
  bool head_only = false;    // HEAD: the answer's head alone
  double moved = 0;          // when bytes last left for the client
  size_t discarded = 0;      // bytes that came after the request
};

}  // namespace

struct Server::Impl {
  Limits limits;
  Handler handler;
  Socket listener = kNoSocket;
  Socket wake_socket = kNoSocket;  // a UDP socket connected to itself
  int port = 0;
  bool beyond = false;
  std::atomic<bool> stopping{false};
  std::atomic<bool> wake_pending{false};
  std::thread thread;
  std::list<Connection> connections;
  Reserve reserve;
  double listen_after = 0;  // out of descriptors: the listener rests

  ~Impl() {
    if (listener != kNoSocket) close_socket(listener);
    if (wake_socket != kNoSocket) close_socket(wake_socket);
  }

  void respond(Connection &c, const Response &r) {
    c.out = answer_head(r, r.body.size());
    if (!r.stream && !c.head_only) c.out += r.body;
    c.sent = 0;
    c.stream = r.duplex ? r.duplex : r.stream;
    c.duplex = r.duplex.get();
    c.state =
        c.stream ? Connection::State::Streaming : Connection::State::Answering;
    c.answered = c.moved = monotonic_seconds();
  }

  void refuse(Connection &c, int status, const std::string &why) {
    respond(c, plain_response(status, why));
  }

  // The head is complete at c.head_end: parses it, and answers at once
  // whatever needs no body.
  void take_head(Connection &c) {
    const HeadResult head =
        parse_head(c.in.substr(0, c.head_end), limits.body, c.request);
    c.head_only = c.request.method == "HEAD";
    if (head.status != 0) return refuse(c, head.status, head.why);
    c.body_size = head.body_size;
  }

  void on_readable(Connection &c) {
    char buf[4096];
    // One turn takes at most kReadPerTurn of a connection's bytes, so that
    // a client that sends without end (empty pongs back to back) holds up
    // neither the other connections nor the listener: what it sent more
    // waits for the next turn.
    for (size_t taken = 0; taken < kReadPerTurn;) {
      const int n = recv_some(c.socket, buf, sizeof buf);
      if (n == 0 && c.state == Connection::State::Answering) {
        c.read_closed = true;  // it may still read its answer
        return;
      }
      if (n == 0 || (n < 0 && !would_block())) {
        c.finishing = true;  // gone: dropped below
        c.out.clear();
        c.sent = 0;
        return;
      }
      if (n < 0) break;
      taken += static_cast<size_t>(n);
      if (c.duplex != nullptr) {  // the upgraded protocol reads it all
        if (c.duplex->take(buf, static_cast<size_t>(n))) continue;
        std::string last;  // its closing words
        c.duplex->pull(last);
        c.out += last;
        c.finishing = true;
        return;
      }
      if (c.state != Connection::State::Reading) {
        // Dropped, up to a bound: a close with bytes unread would reset
        // the connection and could cost the client its answer. A client
        // that keeps sending past the bound is closed.
        c.discarded += static_cast<size_t>(n);
        if (c.discarded > limits.after_request) {
          c.finishing = true;
          c.out.clear();
          c.sent = 0;
          return;
        }
        continue;
      }
      c.in.append(buf, static_cast<size_t>(n));
      if (c.head_end == 0) {
        const size_t end = c.in.find("\r\n\r\n");
        if (end == std::string::npos) {
          if (c.in.size() > limits.head)
            return refuse(c, 431, "request header fields too large");
          continue;
        }
        if (end + 4 > limits.head)
          return refuse(c, 431, "request header fields too large");
        c.head_end = end + 4;
        take_head(c);
        if (c.state != Connection::State::Reading) return;
      }
      if (c.in.size() >= c.head_end + c.body_size) {
        Request req = std::move(c.request);
        req.body = c.in.substr(c.head_end, c.body_size);
        Response r;
        try {
          r = handler(req);
        } catch (const std::exception &e) {
          r.status = 400;
          r.body = std::string("bad request: ") + e.what() + "\n";
        }
        return respond(c, r);
      }
    }
  }

  // Sends what it can; true when everything handed out has gone.
  bool on_writable(Connection &c) {
    while (c.sent < c.out.size()) {
      const int n =
          send_some(c.socket, c.out.data() + c.sent, c.out.size() - c.sent);
      if (n < 0 && would_block()) return false;
      if (n <= 0) {
        c.finishing = true;
        c.out.clear();
        c.sent = 0;
        return true;
      }
      c.sent += static_cast<size_t>(n);
      c.moved = monotonic_seconds();
    }
    c.out.clear();
    c.sent = 0;
    return true;
  }

  void drop(std::list<Connection>::iterator it) {
    if (it->stream) it->stream->closed();
    close_socket(it->socket);
    connections.erase(it);
  }

  // Closes the connection that has waited longest for its request; false
  // when every one already has its answer.
  bool drop_oldest_waiting() {
    auto oldest = connections.end();
    for (auto it = connections.begin(); it != connections.end(); ++it)
      if (it->state == Connection::State::Reading &&
          (oldest == connections.end() || it->opened < oldest->opened))
        oldest = it;
    if (oldest == connections.end()) return false;
    drop(oldest);
    return true;
  }

  void accept_all(double now) {
    static const std::string busy =
        plain_answer(503, "service unavailable: too many connections");
    for (;;) {
      const Socket s = ::accept(listener, nullptr, nullptr);
      if (s == kNoSocket) {
        // Out of descriptors, the connection stays pending and the
        // listener readable: make room as for the connection bound, or
        // turn it away with the reserve, or else rest the listener.
        if (!out_of_descriptors()) return;
        if (drop_oldest_waiting() || reserve.take_one(listener, busy)) continue;
        listen_after = now + kRestSeconds;
        return;
      }
      set_nonblocking(s);
      // Room is made by the connection that has waited longest for its
      // request; when every one already has its answer, the new one is
      // told to come back later.
      if (connections.size() >= limits.connections && !drop_oldest_waiting()) {
        send_some(s, busy.data(), busy.size());
        close_socket(s);
        continue;
      }
      Connection c;
      c.socket = s;
      c.opened = monotonic_seconds();
      connections.push_back(std::move(c));
    }
  }

  // One turn of a connection: reads what came, times out a request that
  // is late, hands a stream's news out, sends. True when it is done.
  bool service(Connection &c, short revents, double now, bool pull) {
    using State = Connection::State;
    if (revents & (POLLIN | POLLHUP | POLLERR)) on_readable(c);
    if (c.state == State::Reading && !c.finishing &&
        now - c.opened > limits.request_seconds) {
      refuse(c, 408,
             "request timeout: a request must come whole within " +
                 std::to_string(static_cast<int>(limits.request_seconds)) +
                 " s");
      c.finishing = true;
    }
    if (pull && c.state == State::Streaming && !c.finishing && c.out.empty() &&
        !c.stream->pull(c.out))
      c.finishing = true;
    if (!on_writable(c))  // more to send: a client that takes too long to
      return c.state == State::Answering  // take an answer is dropped, and
                 ? now - c.answered > limits.answer_seconds  // a stream that
                 : now - c.moved > limits.stall_seconds;     // takes nothing
    return c.finishing || c.state == State::Answering;
  }

  // Streams are pulled at most every kPullSeconds: news that comes
  // faster (a record a millisecond) goes out in one send a client per
  // pull, not one per record, and wakes this thread once per pull. For
  // kPullSeconds after a pull the wake-up socket is not watched: a wake
  // that comes meanwhile waits there (wake_pending stays set, so that no
  // more are sent) until the loop looks again, and pulls.
  void loop() {
    std::vector<PollFd> fds;
    double last_pull = -kPullSeconds;
    while (!stopping) {
      const double left = last_pull + kPullSeconds - monotonic_seconds();
      const bool news_waits = left > 0;
      const int wait_ms =
          news_waits ? static_cast<int>(std::ceil(left * 1000)) : kPollMs;
      fds.clear();
      const bool resting = monotonic_seconds() < listen_after;
      fds.push_back({listener, static_cast<short>(resting ? 0 : POLLIN), 0});
      fds.push_back(
          {wake_socket, static_cast<short>(news_waits ? 0 : POLLIN), 0});
      for (Connection &c : connections) {
        short events = c.read_closed ? 0 : POLLIN;
        if (c.sent < c.out.size()) events |= POLLOUT;
        fds.push_back({c.socket, events, 0});
      }
      poll_sockets(fds.data(), fds.size(), wait_ms);
      if (stopping) break;
      const bool woken = fds[1].revents != 0;
      if (woken) {
        char drain[64];
        while (recv_some(wake_socket, drain, sizeof drain) > 0) {
        }
      }
      size_t k = 2;
      const double now = monotonic_seconds();
      const bool pull = now >= last_pull + kPullSeconds;
      if (pull) {
        if (woken) last_pull = now;  // news: the next waits a moment
        wake_pending = false;        // news from here on wakes the loop
      }
      for (auto it = connections.begin(); it != connections.end(); ++k) {
        const short revents = k < fds.size() ? fds[k].revents : 0;
        auto here = it++;
        if (service(*here, revents, now, pull)) drop(here);
      }
      if (!resting && fds[0].revents != 0) accept_all(now);
    }
    while (!connections.empty()) drop(connections.begin());
  }
};

Server::Server(const std::string &listen, const std::string &host, int port,
               const Limits &limits, Handler handler)
    : impl_(std::make_unique<Impl>()) {
  start_sockets();
  Impl &v = *impl_;
  v.limits = limits;
#if !defined(_WIN32)
  // Connections never take the descriptors the run itself needs: a port
  // opened again after an unplug, a recording, the other server.
  rlimit allowed{};
  if (getrlimit(RLIMIT_NOFILE, &allowed) == 0 &&
      allowed.rlim_cur != RLIM_INFINITY) {
    const auto room = static_cast<size_t>(allowed.rlim_cur);
    v.limits.connections = std::min(v.limits.connections,
                                    room > kSpareDescriptors + kMinConnections
                                        ? room - kSpareDescriptors
                                        : kMinConnections);
  }
#endif
  v.handler = std::move(handler);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo *found = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 ||
      found == nullptr)
    throw ToolError(listen + ": cannot listen there: no address '" + host +
                    "'");
  std::string why;
  for (addrinfo *a = found; a != nullptr && v.listener == kNoSocket;
       a = a->ai_next) {
    const Socket s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == kNoSocket) {
      why = socket_reason();
      continue;
    }
    int on = 1;
#if defined(_WIN32)
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char *>(&on), sizeof on);
#else
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    if (::bind(s, a->ai_addr, static_cast<AddressSize>(a->ai_addrlen)) != 0 ||
        ::listen(s, 64) != 0) {
      why = socket_reason();
      close_socket(s);
      continue;
    }
    v.listener = s;
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    getsockname(s, reinterpret_cast<sockaddr *>(&bound), &size);
    if (bound.ss_family == AF_INET) {
      const auto *in = reinterpret_cast<const sockaddr_in *>(&bound);
      v.port = ntohs(in->sin_port);
      v.beyond = (ntohl(in->sin_addr.s_addr) >> 24) != 127;
    } else {
      const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&bound);
      v.port = ntohs(in6->sin6_port);
      const uint8_t *b = in6->sin6_addr.s6_addr;
      static const uint8_t kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                            0, 0, 0, 0, 0, 0, 0, 1};
      static const uint8_t kMapped[12] = {0, 0, 0, 0, 0,    0,
                                          0, 0, 0, 0, 0xFF, 0xFF};
      const bool mapped_loopback =
          std::memcmp(b, kMapped, sizeof kMapped) == 0 && b[12] == 127;
      v.beyond =
          std::memcmp(b, kLoopback, sizeof kLoopback) != 0 && !mapped_loopback;
    }
  }
  freeaddrinfo(found);
  if (v.listener == kNoSocket)
    throw ToolError(listen + ": cannot listen there: " + why);
  set_nonblocking(v.listener);
  // The wake-up: a UDP socket on loopback that sends to itself.
  v.wake_socket = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof self;
  if (v.wake_socket == kNoSocket ||
      ::bind(v.wake_socket, reinterpret_cast<sockaddr *>(&self), sizeof self) !=
          0 ||
      getsockname(v.wake_socket, reinterpret_cast<sockaddr *>(&self), &size) !=
          0 ||
      ::connect(v.wake_socket, reinterpret_cast<sockaddr *>(&self),
                sizeof self) != 0)
    throw ToolError(listen + ": cannot make the server's wake-up socket: " +
                    socket_reason());
  set_nonblocking(v.wake_socket);
}

Server::~Server() {
  stop();
}

std::unique_ptr<Server> open_server(const char *option,
                                    const std::string &listen,
                                    const char *banner, const char *what,
                                    const std::string &token,
                                    const Limits &limits,
                                    Server::Handler handler) {
  const ServeAddress a = parse_serve_address(listen, option);
  auto server =
      std::make_unique<Server>(std::string(option) + " " + listen, a.host,
                               a.port, limits, std::move(handler));
  std::fprintf(stderr, "%s://%s/?token=%s\n", banner,
               host_with_port(a.host, server->port()).c_str(), token.c_str());
  if (server->beyond_this_machine())
    say("warning: %s listens on %s, beyond this machine; "
        "the token in its address is the only guard",
        what, a.host.c_str());
  std::fflush(stderr);
  return server;
}

bool wait_unless_stopped(std::unique_lock<std::mutex> &lock,
                         std::condition_variable &cv,
                         const std::function<bool()> &ready) {
  while (!ready()) {
    if (stop_requested()) return false;
    cv.wait_for(lock, kStopLook);
  }
  return true;
}

void stop_after(Server &server, double grace,
                const std::function<bool()> &gone) {
  const double until = monotonic_seconds() + grace;
  while (!gone() && monotonic_seconds() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  server.stop();
}

int Server::port() const {
  return impl_->port;
}

bool Server::beyond_this_machine() const {
  return impl_->beyond;
}

void Server::start() {
  impl_->thread = std::thread([this] { impl_->loop(); });
}

void Server::wake() {
  if (impl_->wake_pending.exchange(true)) return;
  const char byte = 1;
  send_some(impl_->wake_socket, &byte, 1);
}

void Server::stop() {
  impl_->stopping = true;
  if (impl_->thread.joinable()) {
    const char byte = 1;
    send_some(impl_->wake_socket, &byte, 1);
    impl_->thread.join();
  }
}

}  // namespace http
}  // namespace kestrav_tool
