// The live view's server. The one translation unit that includes the HTTP
// library, which is large.
#include "view.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "Kestrav.h"
#include "address.h"
#include "assets.h"
#include "cli.h"
#include "httplib.h"
#include "port.h"

#if defined(_WIN32)
#include <bcrypt.h>
#else
#include <sys/random.h>
#endif

namespace kestrav_tool {
namespace {

// Records a client may fall behind by before its oldest are dropped: a few
// seconds of the fastest stream.
constexpr size_t kClientQueue = 2048;
// A POST /sbus body is a few hundred bytes; anything much larger is refused
// (413) before it is read.
constexpr size_t kMaxBody = 4096;
// How long an event stream waits for news before it sends a keep-alive, and
// how long end() gives the clients to take their last events.
constexpr auto kStreamWait = std::chrono::milliseconds(500);
constexpr auto kEndGrace = std::chrono::milliseconds(300);
constexpr size_t kTokenBytes = 16;

std::string random_token() {
  uint8_t bytes[kTokenBytes];
#if defined(_WIN32)
  if (BCryptGenRandom(nullptr, bytes, sizeof bytes,
                      BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
    throw ToolError("--serve: no random numbers from the system");
#else
  size_t have = 0;
  while (have < sizeof bytes) {
    const ssize_t n = getrandom(bytes + have, sizeof bytes - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ToolError("--serve: getrandom failed: " + system_reason());
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

std::string json_text(const std::string &s) {
  return nlohmann::json(s).dump();
}

std::string sse(const char *event, const std::string &data) {
  return std::string("event: ") + event + "\ndata: " + data + "\n\n";
}

// One browser's event stream.
struct Client {
  std::string hello;  // sent before anything else, never dropped
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::string> queue;  // whole events, ready to send
  uint64_t dropped = 0;           // not yet reported
  bool finished = false;          // the ended event is queued
};

}  // namespace

struct LiveView::Impl {
  Setup setup;
  std::string token;
  std::vector<std::string> hosts;  // the Host headers this server answers
  httplib::Server server;
  std::thread thread;

  std::mutex clients_mutex;
  std::vector<std::shared_ptr<Client>> clients;
  std::string ended;  // the ended event, once the run ended

  std::mutex sbus_mutex;
  SbusRequest sbus;
  bool sbus_fresh = false;

  void refuse(httplib::Response &res, int status, const std::string &why) {
    res.status = status;
    res.set_content(why + "\n", "text/plain; charset=utf-8");
  }

  httplib::Server::HandlerResponse guard(const httplib::Request &req,
                                         httplib::Response &res) {
    using R = httplib::Server::HandlerResponse;
    // DNS rebinding: a page on another name that resolves here.
    const std::string host = req.get_header_value("Host");
    bool known = false;
    for (const std::string &h : hosts) known = known || h == host;
    if (!known) {
      refuse(res, 403, "forbidden: Host '" + host + "' is not this server");
      return R::Handled;
    }
    // Cross-site requests: a page elsewhere driving this one's servos.
    if (req.has_header("Origin") &&
        req.get_header_value("Origin") != "http://" + host) {
      refuse(res, 403, "forbidden: requests from another origin");
      return R::Handled;
    }
    if ((req.path == "/events" || req.path == "/sbus") &&
        !same_token(req.get_param_value("token"), token)) {
      refuse(res, 403, "forbidden: no token, or the wrong one");
      return R::Handled;
    }
    return R::Unhandled;
  }

  void events(const httplib::Request &, httplib::Response &res) {
    auto client = std::make_shared<Client>();
    {
      std::lock_guard<std::mutex> lock(clients_mutex);
      nlohmann::json hello = {
          {"command", setup.command},
          {"port", setup.port},
          {"version", std::to_string(KESTRAV_VERSION_MAJOR) + "." +
                          std::to_string(KESTRAV_VERSION_MINOR) + "." +
                          std::to_string(KESTRAV_VERSION_PATCH)},
          {"format", setup.format}};
      client->hello = sse("hello", hello.dump());
      if (!ended.empty()) {
        client->queue.push_back(ended);
        client->finished = true;
      }
      clients.push_back(client);
    }
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "text/event-stream",
        [client](size_t, httplib::DataSink &sink) {
          std::deque<std::string> items;
          uint64_t dropped = 0;
          bool finished = false;
          {
            std::unique_lock<std::mutex> lock(client->mutex);
            client->wake.wait_for(lock, kStreamWait, [&] {
              return !client->queue.empty() || client->dropped > 0 ||
                     client->finished;
            });
            items.swap(client->queue);
            dropped = client->dropped;
            client->dropped = 0;
            finished = client->finished;
          }
          std::string out;
          out.swap(client->hello);  // empty after the first time
          if (dropped > 0)
            out += sse("dropped",
                       "{\"dropped\": " + std::to_string(dropped) + "}");
          for (const std::string &item : items) out += item;
          if (out.empty()) out = ": keep-alive\n\n";
          if (!sink.write(out.data(), out.size())) return false;
          if (finished) sink.done();
          return true;
        },
        [this, client](bool) {
          std::lock_guard<std::mutex> lock(clients_mutex);
          for (size_t k = 0; k < clients.size(); ++k)
            if (clients[k] == client) {
              clients.erase(clients.begin() + static_cast<long>(k));
              break;
            }
        });
  }

  void post_sbus(const httplib::Request &req, httplib::Response &res) {
    nlohmann::json body;
    try {
      body = nlohmann::json::parse(req.body);
    } catch (const nlohmann::json::exception &) {
      return refuse(res, 400, "bad request: the body is not JSON");
    }
    if (!body.is_object() || !body.contains("channels"))
      return refuse(res, 400,
                    "bad request: expected {\"channels\": [16 "
                    "integers], and optional flags}");
    const nlohmann::json &channels = body["channels"];
    if (!channels.is_array() || channels.size() != kSbusChannels)
      return refuse(res, 400, "bad request: channels must be 16 integers");
    SbusRequest r;
    for (size_t k = 0; k < kSbusChannels; ++k) {
      const nlohmann::json &v = channels[k];
      if (!v.is_number_integer() || v.get<int64_t>() < 0 ||
          v.get<int64_t>() > kSbusMax)
        return refuse(res, 400,
                      "bad request: channel " + std::to_string(k) +
                          " must be an integer from 0 to 2047");
      r.channels[k] = static_cast<uint16_t>(v.get<int64_t>());
    }
    const std::pair<const char *, uint8_t> flags[] = {
        {"ch17", kFlagCh17},
        {"ch18", kFlagCh18},
        {"frame_lost", kFlagFrameLost},
        {"failsafe", kFlagFailsafe}};
    for (const auto &f : flags) {
      if (!body.contains(f.first)) continue;
      if (!body[f.first].is_boolean())
        return refuse(
            res, 400,
            std::string("bad request: ") + f.first + " must be true or false");
      if (body[f.first].get<bool>()) r.flags |= f.second;
    }
    r.at = monotonic_seconds();
    {
      std::lock_guard<std::mutex> lock(sbus_mutex);
      sbus = r;
      sbus_fresh = true;
    }
    res.status = 204;
  }

  void finish(const std::string &reason) {
    {
      std::lock_guard<std::mutex> lock(clients_mutex);
      if (!ended.empty()) return;
      ended = sse("ended", "{\"reason\": " + json_text(reason) + "}");
      for (const auto &c : clients) {
        std::lock_guard<std::mutex> client_lock(c->mutex);
        c->queue.push_back(ended);
        c->finished = true;
        c->wake.notify_all();
      }
    }
    // Let the streams take their last events, then close.
    const auto until = std::chrono::steady_clock::now() + kEndGrace;
    while (std::chrono::steady_clock::now() < until) {
      {
        std::lock_guard<std::mutex> lock(clients_mutex);
        if (clients.empty()) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    server.stop();
    if (thread.joinable()) thread.join();
  }
};

LiveView::LiveView(const std::string &listen, const Setup &setup)
    : impl_(std::make_unique<Impl>()) {
  Impl &v = *impl_;
  const ServeAddress a = parse_serve_address(listen);
  v.setup = setup;
  v.token = random_token();
  v.server.set_payload_max_length(kMaxBody);
  v.server.set_pre_routing_handler(
      [&v](const httplib::Request &req, httplib::Response &res) {
        return v.guard(req, res);
      });
  for (size_t k = 0; k < kAssetCount; ++k) {
    const Asset &asset = kAssets[k];
    const std::string path =
        std::string(asset.path) == "/index.html" ? "/" : asset.path;
    v.server.Get(path,
                 [&asset](const httplib::Request &, httplib::Response &res) {
                   res.set_header("Cache-Control", "no-store");
                   res.set_content(reinterpret_cast<const char *>(asset.data),
                                   asset.size, asset.content_type);
                 });
  }
  v.server.Get("/events", [&v](const httplib::Request &req,
                               httplib::Response &res) { v.events(req, res); });
  if (setup.accepts_sbus)
    v.server.Post("/sbus",
                  [&v](const httplib::Request &req, httplib::Response &res) {
                    v.post_sbus(req, res);
                  });
  const int port = a.port == 0
                       ? v.server.bind_to_any_port(a.host)
                       : (v.server.bind_to_port(a.host, a.port) ? a.port : -1);
  if (port <= 0)
    throw ToolError("--serve " + listen +
                    ": cannot listen there: " + system_reason());
  v.hosts = {host_with_port(a.host, port), "localhost:" + std::to_string(port)};
  std::fprintf(stderr, "view: http://%s/?token=%s\n",
               host_with_port(a.host, port).c_str(), v.token.c_str());
  if (!is_loopback_host(a.host))
    std::fprintf(stderr,
                 "kestrav: warning: the view listens on %s, beyond this "
                 "machine; the token in its address is the only guard\n",
                 a.host.c_str());
  std::fflush(stderr);
  v.thread = std::thread([&v] { v.server.listen_after_bind(); });
}

LiveView::~LiveView() {
  impl_->finish("exited");
}

void LiveView::post(const std::string &record) {
  post_event("record", record);
}

void LiveView::post_event(const char *name, const std::string &data) {
  std::lock_guard<std::mutex> lock(impl_->clients_mutex);
  if (impl_->clients.empty()) return;  // nobody watches: no work
  const std::string event = sse(name, data);
  for (const auto &c : impl_->clients) {
    std::lock_guard<std::mutex> client_lock(c->mutex);
    if (c->finished) continue;
    c->queue.push_back(event);
    if (c->queue.size() > kClientQueue) {
      c->queue.pop_front();
      ++c->dropped;
    }
    c->wake.notify_one();
  }
}

void LiveView::end(const std::string &reason) {
  impl_->finish(reason);
}

std::unique_ptr<LiveView> serve(const std::string &listen,
                                const LiveView::Setup &setup,
                                RecordWriter &writer) {
  if (listen.empty()) return nullptr;
  auto view = std::make_unique<LiveView>(listen, setup);
  LiveView *v = view.get();
  writer.set_tap([v](const std::string &record) { v->post(record); });
  return view;
}

bool LiveView::take_sbus(SbusRequest &request) {
  std::lock_guard<std::mutex> lock(impl_->sbus_mutex);
  if (!impl_->sbus_fresh) return false;
  request = impl_->sbus;
  impl_->sbus_fresh = false;
  return true;
}

}  // namespace kestrav_tool
