// Fuzz target: the live view's request heads. Whatever the bytes, the
// parser must not crash, and a head it lets through must hold only what
// the view's checks can trust: a token method, a target that is a path,
// header names that are tokens and values without control bytes, and a
// body size within the bound.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "http_request.h"

namespace {

constexpr size_t kBodyLimit = 4096;

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "a head let through %s\n", what);
  std::abort();
}

bool has_control(const std::string &s) {
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t') || c == 0x7F) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
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
