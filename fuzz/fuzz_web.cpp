// Fuzz target: what the tool's web servers parse. The input is a request
// head and, from the same bytes, a WebSocket client stream cut into pieces
// at the sizes its first byte picks. Whatever the bytes, nothing may
// crash; a head let through must hold only what the servers' checks can
// trust (a token method, a target that is a path, header names and values
// without control bytes, a body within the bound); and every WebSocket
// event must keep the framing's rules (messages within the bound, text in
// UTF-8, control payloads of at most 125 bytes, nothing after the end).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "http_request.h"
#include "websocket.h"

namespace {

constexpr size_t kBodyLimit = 4096;
constexpr size_t kMessageLimit = 1024;

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "let through: %s\n", what);
  std::abort();
}

bool has_control(const std::string &s) {
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t') || c == 0x7F) return true;
  }
  return false;
}

void frames(const uint8_t *data, size_t size) {
  using kestrav_tool::ws::Event;
  kestrav_tool::ws::Reader reader(kMessageLimit);
  std::vector<Event> events;
  const size_t step = size == 0 ? 1 : data[0] % 16 + 1;
  for (size_t at = 0; at < size; at += step)
    reader.feed(reinterpret_cast<const char *>(data) + at,
                std::min(step, size - at), events);
  for (size_t k = 0; k < events.size(); ++k) {
    const Event &e = events[k];
    const bool last = k + 1 == events.size();
    if ((e.kind == Event::Kind::Close || e.kind == Event::Kind::Fail) && !last)
      fail("an event after the end");
    if (e.kind == Event::Kind::Message && e.data.size() > kMessageLimit)
      fail("a message over the bound");
    if (e.kind == Event::Kind::Message && e.opcode == kestrav_tool::ws::kText &&
        !kestrav_tool::ws::valid_utf8(e.data))
      fail("text that is not UTF-8");
    if ((e.kind == Event::Kind::Ping || e.kind == Event::Kind::Pong) &&
        e.data.size() > kestrav_tool::ws::kMaxControl)
      fail("a control frame over 125 bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  frames(data, size);
  const std::string head =
      std::string(reinterpret_cast<const char *>(data), size) + "\r\n\r\n";
  kestrav_tool::http::Request req;
  const kestrav_tool::http::HeadResult r =
      kestrav_tool::http::parse_head(head, kBodyLimit, req);
  if (r.status != 0) {
    if (r.why.empty() || r.why.find('\n') != std::string::npos)
      fail("a refusal without a one-line reason");
    return 0;
  }
  if (req.method.empty() || has_control(req.method)) fail("a bad method");
  if (req.path.empty() || req.path[0] != '/' || has_control(req.path))
    fail("a target that is not a path");
  if (has_control(req.host())) fail("a control byte in the host");
  for (const auto &h : req.headers)
    if (h.first.empty() || has_control(h.first) || has_control(h.second))
      fail("a control byte in a header");
  if (r.body_size > kBodyLimit) fail("a body over the bound");
  return 0;
}
