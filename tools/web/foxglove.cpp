// The live source over the Foxglove WebSocket protocol. The HTTP server
// does the sockets; ws::Reader the framing; this file the protocol.
#include "foxglove.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <vector>

#include "channels.h"
#include "http_server.h"
#include "mcap_file.h"
#include "options.h"
#include "port.h"
#include "serve_address.h"
#include "websocket.h"

namespace kestrav_tool {
namespace {

using nlohmann::json;

// The subprotocols, in the order of preference: the SDK's name of the
// protocol, then the original one. For what this server sends they are
// the same protocol.
constexpr const char *kSubprotocols[] = {"foxglove.sdk.v1",
                                         "foxglove.websocket.v1"};
constexpr const char *kWebSocketVersion = "13";
constexpr size_t kMaxClients = 16;
// Messages a client may fall behind by before its oldest are dropped: a
// few seconds of the fastest run. A record's message is under 512 bytes
// (47 words of at most 5 digits, its time and number), so this bounds
// their bytes too, to about 1 MiB.
constexpr size_t kClientQueue = 2048;
// Answers waiting for a client that reads none of them: past this, it is
// closed. A client that reads takes them every turn of the server's loop,
// which reads at most 64 KiB of its requests.
constexpr size_t kMaxWaitingAnswers = 256 * 1024;
// A client message (JSON or a publish) is far smaller; past this, 1009.
constexpr size_t kMaxClientMessage = 64 * 1024;
// The one channel each run advertises: its decoded records.
constexpr uint32_t kChannelId = 1;
// Binary opcodes: server message data; client message data.
constexpr uint8_t kMessageData = 0x01;
constexpr uint8_t kClientMessageData = 0x01;
// Message data: the opcode and the subscription id, then the log time.
constexpr size_t kMessageDataHead = 1 + 4;
constexpr size_t kLogTimeSize = 8;
constexpr size_t kClientDataHead = 1 + 4;
// Status levels.
constexpr int kWarning = 1, kError = 2;
constexpr const char *kSbusTopic = "/sbus/set";
constexpr double kEndGrace = 0.3;

void put_le(std::string &out, uint64_t v, size_t bytes) {
  for (size_t k = 0; k < bytes; ++k)
    out.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
}

uint32_t get_le32(const std::string &s, size_t at) {
  uint32_t v = 0;
  for (size_t k = 0; k < 4; ++k)
    v |= static_cast<uint32_t>(static_cast<uint8_t>(s[at + k])) << (8 * k);
  return v;
}

std::string status(int level, const std::string &message) {
  return ws::frame(
      ws::kText,
      json{{"op", "status"}, {"level", level}, {"message", message}}.dump());
}

// The subprotocol chosen from a Sec-WebSocket-Protocol list, or "".
std::string choose_subprotocol(const std::string &offered) {
  std::vector<std::string> names;
  size_t at = 0;
  while (at <= offered.size()) {
    const size_t comma = std::min(offered.find(',', at), offered.size());
    std::string name = offered.substr(at, comma - at);
    name.erase(0, name.find_first_not_of(" \t"));
    name.erase(name.find_last_not_of(" \t") + 1);
    names.push_back(name);
    at = comma + 1;
  }
  for (const char *want : kSubprotocols)
    if (std::find(names.begin(), names.end(), want) != names.end()) return want;
  return "";
}

bool has_token(const std::string &list, const std::string &want) {
  std::string lower = list;
  for (char &c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find(want) != std::string::npos;
}

}  // namespace

struct FoxgloveServer::Impl {
  struct Client;

  Setup setup;
  std::string token;
  std::unique_ptr<http::Server> server;
  int port = 0;

  std::mutex mutex;
  std::vector<std::shared_ptr<Client>> clients;
  std::string hello;  // serverInfo and advertise, once the run began
  bool ended = false;
  std::condition_variable subscribed;
  bool any_subscription = false;

  std::mutex sbus_mutex;
  SbusRequest sbus;
  bool sbus_fresh = false;

  // One client: what waits to be sent to it, its subscriptions and its
  // channels.
  //
  // Two kinds of frame wait for a client, each bounded in bytes. Data
  // messages: past kClientQueue of them, the oldest
  // give way (a live run's rule; a replay waits for room instead). Answers
  // (the hello, statuses, pongs): a client that keeps asking while it
  // reads none of them is closed once kMaxWaitingAnswers bytes of them
  // wait, and what waited is let go.
  struct Client : http::Duplex {
    // One frame; a data message is its own head (frame header, opcode,
    // subscription id) and the bytes every subscriber shares.
    struct Queued {
      std::string head;
      std::shared_ptr<const std::string> shared;  // set: a data message
    };

    Impl &owner;
    std::mutex mutex;
    std::condition_variable room;  // a replay waits here for room
    std::deque<Queued> queue;
    size_t data_count = 0, answer_bytes = 0;
    uint64_t dropped = 0;  // data messages lost, not yet told
    bool closing = false;  // a close frame is queued: the last
    bool gone = false;     // the connection is closed
    std::map<uint32_t, uint32_t> subscriptions;  // id -> channel
    std::set<uint32_t> sbus_channels;            // its own, on /sbus/set
    ws::Reader reader{kMaxClientMessage};

    explicit Client(Impl &o) : owner(o) {}

    // The mutex is held.
    void answer_locked(std::string frame) {
      if (closing) return;
      if (answer_bytes + frame.size() > kMaxWaitingAnswers) {
        queue.clear();
        data_count = answer_bytes = 0;
        queue.push_back({ws::close_frame(ws::kClosePolicy,
                                         "too many requests: this client "
                                         "reads none of the answers"),
                         nullptr});
        closing = true;
        return;
      }
      answer_bytes += frame.size();
      queue.push_back({std::move(frame), nullptr});
    }
    void answer(std::string frame) {
      std::lock_guard<std::mutex> lock(mutex);
      answer_locked(std::move(frame));
    }
    void close(uint16_t code, const std::string &why) {
      std::lock_guard<std::mutex> lock(mutex);
      if (closing) return;
      queue.push_back({ws::close_frame(code, why), nullptr});
      closing = true;
    }

    bool pull(std::string &out) override {
      std::lock_guard<std::mutex> lock(mutex);
      if (dropped > 0 && !closing)
        out += status(kWarning, std::to_string(dropped) +
                                    " messages dropped: this client reads "
                                    "too slowly");
      dropped = 0;
      for (const Queued &q : queue) {
        out += q.head;
        if (q.shared) out += *q.shared;
      }
      queue.clear();
      data_count = answer_bytes = 0;
      room.notify_all();
      return !closing;
    }
    void closed() override {
      {
        std::lock_guard<std::mutex> lock(mutex);
        gone = true;
        room.notify_all();
      }
      owner.forget(this);
    }

    bool take(const char *data, size_t n) override {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (closing) return false;  // nothing it says counts any more
      }
      std::vector<ws::Event> events;
      reader.feed(data, n, events);
      for (const ws::Event &e : events) {
        switch (e.kind) {
          case ws::Event::Kind::Ping:
            answer(ws::frame(ws::kPong, e.data));
            break;
          case ws::Event::Kind::Pong:
            break;
          case ws::Event::Kind::Close:
            close(e.code == 1005 ? ws::kCloseNormal : e.code, "");
            break;
          case ws::Event::Kind::Fail:
            close(e.code, e.data);
            break;
          case ws::Event::Kind::Message:
            if (e.opcode == ws::kText)
              on_json(e.data);
            else
              on_binary(e.data);
            break;
        }
      }
      std::lock_guard<std::mutex> lock(mutex);
      return !closing;
    }

    void refuse(const std::string &why) { answer(status(kError, why)); }

    void on_json(const std::string &text) {
      json m;
      try {
        m = json::parse(text);
      } catch (const json::exception &) {
        return refuse("a message that is not JSON");
      }
      if (!m.is_object() || !m.contains("op") || !m["op"].is_string())
        return refuse("a message without an op");
      const std::string op = m["op"].get<std::string>();
      if (op == "subscribe") return subscribe(m);
      if (op == "unsubscribe") return unsubscribe(m);
      if (op == "advertise" && owner.setup.accepts_sbus) return advertise(m);
      if (op == "unadvertise" && owner.setup.accepts_sbus)
        return unadvertise(m);
      refuse("op '" + op + "' is not supported here");
    }

    static bool id_value(const json &v, uint32_t &id) {
      if (!v.is_number_unsigned() || v.get<uint64_t>() > UINT32_MAX)
        return false;
      id = static_cast<uint32_t>(v.get<uint64_t>());
      return true;
    }

    // m[key] when it is a list; else null, and a status says so.
    const json *list(const json &m, const char *key) {
      if (m.contains(key) && m[key].is_array()) return &m[key];
      refuse(m["op"].get<std::string>() + " needs " + key);
      return nullptr;
    }

    // A client subscribes to a channel once, as the protocol's own server
    // has it: a record is then framed once for it, and it holds at most
    // as many subscriptions as there are channels.
    void subscribe(const json &m) {
      const json *subscriptions_asked = list(m, "subscriptions");
      if (!subscriptions_asked) return;
      bool added = false;
      for (const json &s : *subscriptions_asked) {
        uint32_t id = 0, channel = 0;
        if (!s.is_object() || !s.contains("id") || !s.contains("channelId") ||
            !id_value(s["id"], id) || !id_value(s["channelId"], channel)) {
          refuse("a subscription needs an id and a channelId");
          continue;
        }
        if (channel != kChannelId) {
          refuse("no channel " + std::to_string(channel));
          continue;
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (subscriptions.count(id) != 0) {
          answer_locked(status(
              kError, "subscription " + std::to_string(id) + " is in use"));
          continue;
        }
        const auto same = std::find_if(
            subscriptions.begin(), subscriptions.end(),
            [&](const auto &held) { return held.second == channel; });
        if (same != subscriptions.end()) {
          answer_locked(
              status(kError, "channel " + std::to_string(channel) +
                                 " is subscribed already, as subscription " +
                                 std::to_string(same->first)));
          continue;
        }
        subscriptions.emplace(id, channel);
        added = true;
      }
      if (added) owner.on_subscribed();
    }

    void unsubscribe(const json &m) {
      const json *ids = list(m, "subscriptionIds");
      if (!ids) return;
      for (const json &v : *ids) {
        uint32_t id = 0;
        std::lock_guard<std::mutex> lock(mutex);
        if (!id_value(v, id) || subscriptions.erase(id) == 0)
          answer_locked(status(kWarning, "no such subscription"));
      }
    }

    void advertise(const json &m) {
      const json *advertised = list(m, "channels");
      if (!advertised) return;
      for (const json &c : *advertised) {
        uint32_t id = 0;
        if (!c.is_object() || !c.contains("id") || !id_value(c["id"], id) ||
            !c.contains("topic") || !c.contains("encoding")) {
          refuse("a channel needs an id, a topic and an encoding");
          continue;
        }
        if (c["topic"] != kSbusTopic || c["encoding"] != kRecordEncoding) {
          refuse(std::string("only ") + kSbusTopic + ", in json, is taken");
          continue;
        }
        std::lock_guard<std::mutex> lock(mutex);
        sbus_channels.insert(id);
      }
    }

    void unadvertise(const json &m) {
      const json *ids = list(m, "channelIds");
      if (!ids) return;
      for (const json &v : *ids) {
        uint32_t id = 0;
        std::lock_guard<std::mutex> lock(mutex);
        if (id_value(v, id)) sbus_channels.erase(id);
      }
    }

    // A publish: exactly a POST /sbus body, on an advertised /sbus/set.
    void on_binary(const std::string &data) {
      if (data.size() < kClientDataHead ||
          static_cast<uint8_t>(data[0]) != kClientMessageData)
        return refuse("a binary message that is no client message data");
      const uint32_t channel = get_le32(data, 1);
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (sbus_channels.count(channel) == 0)
          return answer_locked(status(
              kError,
              "channel " + std::to_string(channel) + " was not advertised"));
      }
      SbusRequest r;
      const std::string why =
          parse_sbus_request(data.substr(kClientDataHead), r);
      if (!why.empty()) return refuse(std::string(kSbusTopic) + ": " + why);
      std::lock_guard<std::mutex> lock(owner.sbus_mutex);
      owner.sbus = r;
      owner.sbus_fresh = true;
    }

    // A record, for its subscription: shared is the message data after
    // the subscription id (the log time and the record). Live, the oldest
    // give way; with wait (a replay), it waits for room, for this client
    // to go, or for a stop.
    void post(const std::shared_ptr<const std::string> &shared, bool wait) {
      std::unique_lock<std::mutex> lock(mutex);
      for (const auto &[id, channel] : subscriptions) {
        (void)channel;
        std::string head =
            ws::frame_head(ws::kBinary, kMessageDataHead + shared->size());
        head.push_back(static_cast<char>(kMessageData));
        put_le(head, id, 4);
        while (wait && data_count >= kClientQueue && !closing && !gone &&
               !stop_requested()) {
          owner.server->wake();
          room.wait_for(lock, http::kStopLook);
        }
        if (closing || gone) return;
        queue.push_back({std::move(head), shared});
        if (++data_count > kClientQueue) drop_oldest_data_locked();
      }
    }

    void drop_oldest_data_locked() {
      const auto oldest = std::find_if(
          queue.begin(), queue.end(), [](const Queued &q) { return q.shared; });
      --data_count;
      queue.erase(oldest);
      ++dropped;
    }
  };

  void forget(Client *gone) {
    std::lock_guard<std::mutex> lock(mutex);
    clients.erase(
        std::remove_if(clients.begin(), clients.end(),
                       [&](const auto &c) { return c.get() == gone; }),
        clients.end());
  }

  void on_subscribed() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      any_subscription = true;
    }
    subscribed.notify_all();
  }

  // Every request passes here: an upgrade, or nothing.
  http::Response handle(const http::Request &req) {
    if (req.count("host") != 1)
      return http::plain_response(400, "bad request: one Host header");
    const std::string host = req.host();
    if (!names_this_server(host, port))
      return http::plain_response(
          403, "forbidden: Host '" + host + "' is not this server");
    if (!http::same_token(req.param("token"), token))
      return http::plain_response(403, "forbidden: no token, or the wrong one");
    if (req.path != "/") return http::plain_response(404, "not found");
    if (req.method != "GET") {
      http::Response r = http::plain_response(405, "method not allowed");
      r.headers.emplace_back("Allow", "GET");
      return r;
    }
    if (!has_token(req.header("upgrade"), "websocket") ||
        !has_token(req.header("connection"), "upgrade"))
      return http::plain_response(
          400, "bad request: a WebSocket upgrade is expected");
    // Another version is answered with the one this server speaks.
    if (req.count("sec-websocket-version") != 1 ||
        req.header("sec-websocket-version") != kWebSocketVersion) {
      http::Response r = http::plain_response(
          426, std::string("upgrade required: WebSocket version ") +
                   kWebSocketVersion);
      r.headers.emplace_back("Sec-WebSocket-Version", kWebSocketVersion);
      return r;
    }
    const std::string key = req.header("sec-websocket-key");
    if (req.count("sec-websocket-key") != 1 || !ws::valid_key(key))
      return http::plain_response(
          400, "bad request: one Sec-WebSocket-Key, 16 bytes in base64");
    // Offered on one line or several: one list.
    const std::string protocol =
        choose_subprotocol(req.list("sec-websocket-protocol"));
    if (protocol.empty())
      return http::plain_response(400,
                                  "bad request: offer the subprotocol "
                                  "foxglove.sdk.v1 or foxglove.websocket.v1");
    auto client = std::make_shared<Client>(*this);
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (ended || clients.size() >= kMaxClients)
        return http::plain_response(
            503, "service unavailable: " + std::to_string(kMaxClients) +
                     " clients are connected");
      if (!hello.empty()) client->answer(hello);
      clients.push_back(client);
    }
    http::Response r;
    r.status = 101;
    r.headers = {{"Upgrade", "websocket"},
                 {"Connection", "Upgrade"},
                 {"Sec-WebSocket-Accept", ws::accept_key(key)},
                 {"Sec-WebSocket-Protocol", protocol}};
    r.duplex = client;
    return r;
  }

  void begin(int64_t start_ns) {
    RecordingInfo info = setup.info;
    json metadata = json::object();
    for (const auto &[key, value] : run_metadata(info, start_ns))
      metadata[key] = value;
    const RecordChannel channel = record_channel(info.command);
    const json server_info = {
        {"op", "serverInfo"},
        {"name", "kestrav " + tool_version()},
        {"capabilities",
         setup.accepts_sbus ? json::array({"clientPublish"}) : json::array()},
        {"supportedEncodings", json::array({kRecordEncoding})},
        {"metadata", metadata},
        {"sessionId", http::random_token()}};
    const json advertise = {
        {"op", "advertise"},
        {"channels",
         json::array({{{"id", kChannelId},
                       {"topic", channel.topic},
                       {"encoding", kRecordEncoding},
                       {"schemaName", channel.schema_name},
                       {"schema", record_schema(record_kind(info.command))},
                       {"schemaEncoding", kSchemaEncoding}}})}};
    std::lock_guard<std::mutex> lock(mutex);
    hello = ws::frame(ws::kText, server_info.dump()) +
            ws::frame(ws::kText, advertise.dump());
    for (const auto &c : clients) c->answer(hello);
    server->wake();
  }

  // The message data after the subscription id is the same for every
  // subscriber: it is made once and shared.
  void post(uint64_t log_ns, const std::string &record) {
    std::vector<std::shared_ptr<Client>> to;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (clients.empty()) return;  // nobody watches: no work
      to = clients;
    }
    auto shared = std::make_shared<std::string>();
    shared->reserve(kLogTimeSize + record.size());
    put_le(*shared, log_ns, kLogTimeSize);
    *shared += record;
    // A replay waits on one client at a time, without the server's lock,
    // which a connection that closes needs.
    for (const auto &c : to) c->post(shared, setup.replay);
    server->wake();
  }

  void finish(const std::string &reason) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (ended) return;
      ended = true;
      for (const auto &c : clients) c->close(ws::kCloseGoingAway, reason);
    }
    subscribed.notify_all();
    server->wake();
    http::stop_after(*server, kEndGrace, [this] {
      std::lock_guard<std::mutex> lock(mutex);
      return clients.empty();
    });
  }
};

FoxgloveServer::FoxgloveServer(const std::string &listen, const Setup &setup)
    : impl_(std::make_unique<Impl>()) {
  Impl &v = *impl_;
  v.setup = setup;
  v.token = http::random_token();
  v.server = http::open_server(
      "--foxglove", listen, "foxglove: ws", "the live source", v.token,
      http::Limits{}, [&v](const http::Request &req) { return v.handle(req); });
  v.port = v.server->port();
  v.server->start();
}

FoxgloveServer::~FoxgloveServer() {
  impl_->finish("exited");
}

void FoxgloveServer::begin(int64_t start_ns) {
  impl_->begin(start_ns);
}

void FoxgloveServer::post(uint64_t log_ns, const std::string &record) {
  impl_->post(log_ns, record);
}

bool FoxgloveServer::take_sbus(SbusRequest &request) {
  std::lock_guard<std::mutex> lock(impl_->sbus_mutex);
  if (!impl_->sbus_fresh) return false;
  request = impl_->sbus;
  impl_->sbus_fresh = false;
  return true;
}

bool FoxgloveServer::wait_for_subscriber() {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return http::wait_unless_stopped(
             lock, impl_->subscribed,
             [this] { return impl_->any_subscription || impl_->ended; }) &&
         impl_->any_subscription;
}

void FoxgloveServer::end(const std::string &reason) {
  impl_->finish(reason);
}

namespace {

// The source as a sink of the run's records: each one's jsonl line, at its
// MCAP log time.
class FoxgloveSink : public RecordSink {
 public:
  explicit FoxgloveSink(FoxgloveServer &server) : server_(server) {}
  bool wants(Format form) const override { return form == Format::Jsonl; }
  void begin(RecordKind, double, int64_t start_ns) override {
    start_ns_ = start_ns;
    server_.begin(start_ns);
  }
  void record(const EncodedRecord &r) override {
    server_.post(static_cast<uint64_t>(start_ns_ + recording_ns(r.t)), r.jsonl);
  }

 private:
  FoxgloveServer &server_;
  int64_t start_ns_ = 0;
};

}  // namespace

std::unique_ptr<FoxgloveServer> serve_foxglove(
    const std::string &listen, const FoxgloveServer::Setup &setup,
    RecordWriter &writer) {
  if (listen.empty()) return nullptr;
  auto server = std::make_unique<FoxgloveServer>(listen, setup);
  writer.add_sink(std::make_unique<FoxgloveSink>(*server));
  return server;
}

}  // namespace kestrav_tool
