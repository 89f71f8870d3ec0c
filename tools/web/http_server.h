// A small HTTP/1.1 server for the live view, on one thread of its own.
//
// It is built so that no client can hold it up:
// - one poll loop does every read and write, on non-blocking sockets, and
//   wakes at least every 100 ms; stop() returns within that, whatever the
//   clients do, and closes every connection;
// - a whole request (line, headers and body) must arrive within
//   Limits::request_seconds of the connection, or it is closed (408);
// - at most Limits::connections connections at once, and never so many
//   that fewer than 24 of the process's descriptors are left: past that, the
//   one that has waited longest for its request is closed to make room, or,
//   when every connection already has its answer, the new one gets 503;
// - a Content-Length over Limits::body gets 413 before the body is read;
//   a head over Limits::head gets 431, as soon as it is over, ended or
//   not; chunked bodies get 411 (the head's rules: http_request.h);
// - once a request is whole, what its client sends after it is dropped up
//   to Limits::after_request bytes; a client that keeps sending is closed;
// - an event stream whose client has taken nothing for
//   Limits::stall_seconds while bytes wait for it is closed;
// - out of descriptors (EMFILE, ENFILE), room is made as for the
//   connection bound, or a reserved descriptor takes the connection to
//   close it, so that the listener never stays readable and spins;
// - the listening socket is bound exclusively: SO_REUSEADDR alone on POSIX
//   (which Linux never lets two listeners share) and SO_EXCLUSIVEADDRUSE on
//   Windows. Never SO_REUSEPORT, which would share the port, and the
//   requests with it, with any process of the same user.
// Every answer closes its connection (Connection: close); an event stream
// stays open until its Stream says it is finished or the client leaves.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "http_request.h"

namespace kestrav_tool {
namespace http {

// The source of an event stream's bytes.
class Stream {
 public:
  virtual ~Stream() = default;
  // Called when everything handed out so far has been sent, at least every
  // 100 ms and after every wake(): appends what is ready to out (nothing
  // is fine). Returns false once the stream is finished: the connection
  // closes after out is sent.
  virtual bool pull(std::string &out) = 0;
  // The connection is gone (the client left, or the server stopped).
  virtual void closed() = 0;
};

// An upgraded connection (a WebSocket): bytes both ways. pull() gives what
// goes out, as for a stream.
class Duplex : public Stream {
 public:
  // Bytes from the client. False: close once what pull() gives is sent.
  virtual bool take(const char *data, size_t n) = 0;
};

struct Response {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;  // ignored for a stream
  std::vector<std::pair<std::string, std::string>> headers;
  std::shared_ptr<Stream> stream;  // set: an event stream
  // Set (with status 101 and the upgrade's headers): the connection is
  // upgraded and stays open, both ways, until either side ends it.
  std::shared_ptr<Duplex> duplex;
};

struct Limits {
  size_t connections = 128;
  size_t head = 8192;
  size_t body = 4096;
  double request_seconds = 3.0;
  // A client that takes longer than this to read an answer (not a stream)
  // is dropped.
  double answer_seconds = 10.0;
  // An event stream whose client has taken nothing for this long, while
  // bytes wait for it, is closed.
  double stall_seconds = 5.0;
  // What a client may send after its request before it is closed.
  size_t after_request = 65536;
};

class Server {
 public:
  using Handler = std::function<Response(const Request &)>;
  // Binds host:port (port 0: a free one) and listens. A ToolError, naming
  // listen (the option and its value: "--serve 8080") and the reason, when
  // it cannot (the port is in use).
  Server(const std::string &listen, const std::string &host, int port,
         const Limits &limits, Handler handler);
  ~Server();  // stop()
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  int port() const;
  // Whether the bound address is reachable from other machines: not
  // 127.0.0.0/8, ::1 or an IPv4-mapped 127.x address.
  bool beyond_this_machine() const;
  // Runs the loop on its own thread.
  void start();
  // A stream has news: its pull() is called soon. Never blocks.
  void wake();
  // Closes every connection and the listening socket, and joins the loop.
  void stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

const char *status_text(int status);
// For an option that serves (--serve, --foxglove): a server on listen
// ([HOST:]PORT, HOST 127.0.0.1 unless given, PORT 0 a free one), not yet
// started. Prints "BANNER://HOST:PORT/?token=TOKEN" on stderr, and a
// warning naming what when it listens beyond this machine. A bad address
// is a UsageError; one that cannot be bound, a ToolError.
std::unique_ptr<Server> open_server(const char *option,
                                    const std::string &listen,
                                    const char *banner, const char *what,
                                    const std::string &token,
                                    const Limits &limits,
                                    Server::Handler handler);
// Stops server once gone() holds, or grace seconds have passed: the
// clients get a moment to take their last words, and one that does not
// read is not waited for.
void stop_after(Server &server, double grace,
                const std::function<bool()> &gone);

// How often a wait on a server's condition variable looks for a stop: a
// signal handler cannot notify one.
constexpr auto kStopLook = std::chrono::milliseconds(100);
// Waits on cv (lock held) until ready() holds; false when a stop is
// requested first.
bool wait_unless_stopped(std::unique_lock<std::mutex> &lock,
                         std::condition_variable &cv,
                         const std::function<bool()> &ready);

// 32 hex digits from the system's random source (getrandom, or
// BCryptGenRandom): a token for a URL.
std::string random_token();
// Compares in time that depends only on the length of what was offered.
bool same_token(const std::string &offered, const std::string &token);
// A one-line plain-text answer: why, and a line end.
Response plain_response(int status, const std::string &why);

}  // namespace http
}  // namespace kestrav_tool
