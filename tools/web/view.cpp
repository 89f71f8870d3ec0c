// The live view's server. The one translation unit that includes the HTTP
// library, which is large.
#include "view.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "assets.h"
#include "http_server.h"
#include "options.h"
#include "port.h"
#include "record.h"
#include "serve_address.h"

namespace kestrav_tool {
namespace {

// Records a client may fall behind by before its oldest are dropped: a few
// seconds of the fastest stream.
constexpr size_t kClientQueue = 2048;
// A POST /sbus body is a few hundred bytes; a Content-Length over this is
// refused (413) before the body is read.
constexpr size_t kMaxBody = 4096;
// How long an event stream stays silent before it sends a keep-alive, and
// how long end() gives the clients to take their last events.
constexpr double kStreamWait = 0.5;
constexpr double kEndGrace = 0.3;
// Event streams at once: a page needs one; past this, 503.
constexpr size_t kMaxStreams = 16;
constexpr const char *kGetMethods = "GET, HEAD";

std::string json_text(const std::string &s) {
  return nlohmann::json(s).dump();
}

std::string sse(const char *event, const std::string &data) {
  return std::string("event: ") + event + "\ndata: " + data + "\n\n";
}

// A flag as the records write it (ch17 and ch18 as 0 or 1, frame_lost and
// failsafe as true or false) or as the other form: a record's fields can
// be posted back as they are.
bool flag_value(const nlohmann::json &v, bool &on) {
  if (v.is_boolean()) {
    on = v.get<bool>();
    return true;
  }
  if (v.is_number_integer() &&
      (v.get<int64_t>() == 0 || v.get<int64_t>() == 1)) {
    on = v.get<int64_t>() == 1;
    return true;
  }
  return false;
}

}  // namespace

std::string parse_sbus_request(const std::string &body, SbusRequest &r) {
  nlohmann::json json;
  try {
    json = nlohmann::json::parse(body);
  } catch (const nlohmann::json::exception &) {
    return "the body is not JSON";
  }
  if (!json.is_object() || !json.contains("channels"))
    return "expected {\"channels\": [16 integers], and optional flags}";
  const nlohmann::json &channels = json["channels"];
  if (!channels.is_array() || channels.size() != kSbusChannels)
    return "channels must be 16 integers";
  r = SbusRequest{};
  for (size_t k = 0; k < kSbusChannels; ++k) {
    const nlohmann::json &v = channels[k];
    if (!v.is_number_integer() || v.get<int64_t>() < 0 ||
        v.get<int64_t>() > kSbusMax)
      return "channel " + std::to_string(k) +
             " must be an integer from 0 to 2047";
    r.channels[k] = static_cast<uint16_t>(v.get<int64_t>());
  }
  const std::pair<const char *, uint8_t> flags[] = {
      {"ch17", kFlagCh17},
      {"ch18", kFlagCh18},
      {"frame_lost", kFlagFrameLost},
      {"failsafe", kFlagFailsafe}};
  for (const auto &f : flags) {
    if (!json.contains(f.first)) continue;
    bool on = false;
    if (!flag_value(json[f.first], on))
      return std::string(f.first) + " must be true, false, 1 or 0";
    if (on) r.flags |= f.second;
  }
  r.at = monotonic_seconds();
  return "";
}

namespace {

// One browser's event stream.
struct Client : http::Stream {
  std::string hello;  // sent before anything else, never dropped
  std::mutex mutex;
  std::deque<std::string> queue;  // whole events, ready to send
  uint64_t dropped = 0;           // not yet reported
  bool finished = false;          // the ended event is queued
  double last_sent = 0;
  std::function<void()> on_closed;

  bool pull(std::string &out) override {
    std::lock_guard<std::mutex> lock(mutex);
    out.swap(hello);  // empty after the first time
    if (dropped > 0)
      out += sse("dropped", "{\"dropped\": " + std::to_string(dropped) + "}");
    dropped = 0;
    for (const std::string &item : queue) out += item;
    queue.clear();
    const double now = monotonic_seconds();
    if (out.empty() && now - last_sent >= kStreamWait) out = ": keep-alive\n\n";
    if (!out.empty()) last_sent = now;
    return !finished;
  }
  void closed() override {
    if (on_closed) on_closed();
  }
};

}  // namespace

struct LiveView::Impl {
  Setup setup;
  std::string token;
  std::unique_ptr<http::Server> server;
  int port = 0;

  std::mutex clients_mutex;
  std::condition_variable page_came;
  bool any_page = false;
  std::vector<std::shared_ptr<Client>> clients;
  std::string ended;     // the ended event, once the run ended
  bool stopped = false;  // the server is stopping

  std::mutex sbus_mutex;
  SbusRequest sbus;
  bool sbus_fresh = false;

  static http::Response refuse(int status, const std::string &why) {
    return http::plain_response(status, why);
  }

  static http::Response not_allowed(const char *allow) {
    http::Response r = refuse(405, "method not allowed");
    r.headers.emplace_back("Allow", allow);
    return r;
  }

  // Every request passes here; a refused one changes nothing.
  http::Response handle(const http::Request &req) {
    // Two Host or Origin headers: which one a check reads and which one
    // the browser meant could differ.
    if (req.count("host") != 1 || req.count("origin") > 1)
      return refuse(400, "bad request: one Host header, at most one Origin");
    // DNS rebinding: a page on another name that resolves here. An
    // absolute-form target names the server in place of Host.
    const std::string host = req.host();
    if (!names_this_server(host, port))
      return refuse(403, "forbidden: Host '" + host + "' is not this server");
    // Cross-site requests: a page elsewhere driving this one's servos.
    if (req.count("origin") == 1 &&
        !same_origin(req.header("origin"), host, port))
      return refuse(403, "forbidden: requests from another origin");
    const bool events_path = req.path == "/events";
    const bool sbus_path = req.path == "/sbus" && setup.accepts_sbus;
    if ((events_path || sbus_path) &&
        !http::same_token(req.param("token"), token))
      return refuse(403, "forbidden: no token, or the wrong one");
    // HEAD is GET without the body, which the server leaves out.
    const bool get = req.method == "GET" || req.method == "HEAD";
    if (events_path) {
      if (!get) return not_allowed(kGetMethods);
      return req.method == "HEAD" ? event_stream_head() : events();
    }
    if (sbus_path) {
      if (req.method != "POST") return not_allowed("POST");
      return post_sbus(req);
    }
    for (size_t k = 0; k < kAssetCount; ++k) {
      const Asset &asset = kAssets[k];
      const bool index = std::string(asset.path) == "/index.html";
      if (req.path != asset.path && !(index && req.path == "/")) continue;
      if (!get) return not_allowed(kGetMethods);
      http::Response r;
      r.content_type = asset.content_type;
      r.headers.emplace_back("Cache-Control", "no-store");
      r.body.assign(reinterpret_cast<const char *>(asset.data), asset.size);
      return r;
    }
    return refuse(404, "not found");
  }

  // What GET /events would answer, without opening a stream.
  static http::Response event_stream_head() {
    http::Response r;
    r.content_type = "text/event-stream";
    r.headers.emplace_back("Cache-Control", "no-store");
    return r;
  }

  http::Response events() {
    auto client = std::make_shared<Client>();
    {
      std::lock_guard<std::mutex> lock(clients_mutex);
      if (clients.size() >= kMaxStreams)
        return refuse(503,
                      "service unavailable: " + std::to_string(kMaxStreams) +
                          " event streams are open");
      nlohmann::json hello = {{"command", setup.command},
                              {"port", setup.port},
                              {"version", tool_version()},
                              {"format", setup.format}};
      client->hello = sse("hello", hello.dump());
      client->last_sent = monotonic_seconds();
      if (!ended.empty()) {
        client->queue.push_back(ended);
        client->finished = true;
      }
      Client *raw = client.get();
      client->on_closed = [this, raw] {
        std::lock_guard<std::mutex> guard(clients_mutex);
        for (size_t k = 0; k < clients.size(); ++k)
          if (clients[k].get() == raw) {
            clients.erase(clients.begin() + static_cast<long>(k));
            break;
          }
      };
      clients.push_back(client);
      any_page = true;
    }
    page_came.notify_all();
    http::Response r;
    r.content_type = "text/event-stream";
    r.headers.emplace_back("Cache-Control", "no-store");
    r.stream = client;
    return r;
  }

  http::Response post_sbus(const http::Request &req) {
    SbusRequest r;
    const std::string why = parse_sbus_request(req.body, r);
    if (!why.empty()) return refuse(400, "bad request: " + why);
    {
      std::lock_guard<std::mutex> lock(sbus_mutex);
      sbus = r;
      sbus_fresh = true;
    }
    http::Response ok;
    ok.status = 204;
    return ok;
  }

  // Queues the ended event for every client, and for every page opened
  // later (which gets its hello, then that).
  void announce(const std::string &reason) {
    {
      std::lock_guard<std::mutex> lock(clients_mutex);
      if (!ended.empty()) return;
      ended = sse("ended", "{\"reason\": " + json_text(reason) + "}");
      for (const auto &c : clients) {
        std::lock_guard<std::mutex> client_lock(c->mutex);
        c->queue.push_back(ended);
        c->finished = true;
      }
    }
    server->wake();
  }

  void finish(const std::string &reason) {
    announce(reason);
    if (stopped) return;
    stopped = true;
    http::stop_after(*server, kEndGrace, [this] {
      std::lock_guard<std::mutex> lock(clients_mutex);
      return clients.empty();
    });
  }
};

LiveView::LiveView(const std::string &listen, const Setup &setup)
    : impl_(std::make_unique<Impl>()) {
  Impl &v = *impl_;
  v.setup = setup;
  v.token = http::random_token();
  http::Limits limits;
  limits.body = kMaxBody;
  v.server = http::open_server(
      "--serve", listen, "view: http", "the view", v.token, limits,
      [&v](const http::Request &req) { return v.handle(req); });
  v.port = v.server->port();
  v.server->start();
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
  }
  impl_->server->wake();
}

void LiveView::end(const std::string &reason) {
  impl_->finish(reason);
}

void LiveView::announce_end(const std::string &reason) {
  impl_->announce(reason);
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

bool LiveView::wait_for_page() {
  std::unique_lock<std::mutex> lock(impl_->clients_mutex);
  return http::wait_unless_stopped(lock, impl_->page_came,
                                   [this] { return impl_->any_page; });
}

bool LiveView::take_sbus(SbusRequest &request) {
  std::lock_guard<std::mutex> lock(impl_->sbus_mutex);
  if (!impl_->sbus_fresh) return false;
  request = impl_->sbus;
  impl_->sbus_fresh = false;
  return true;
}

}  // namespace kestrav_tool
