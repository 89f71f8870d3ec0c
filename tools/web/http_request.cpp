#include "http_request.h"

#include <algorithm>
#include <cctype>

namespace kestrav_tool {
namespace http {
namespace {

constexpr const char *kLineEnd = "\r\n";
constexpr const char *kAbsolutePrefix = "http://";
// A Content-Length of more digits than this is over any body bound here
// (and over what stoul takes on a 32-bit system).
constexpr size_t kMaxLengthDigits = 9;

std::string lower(std::string s) {
  for (char &c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string &s) {
  const size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// A header value may hold visible bytes, spaces, tabs and bytes over 0x7F
// (obs-text); any other control byte is refused.
bool clean_value(const std::string &v) {
  return std::none_of(v.begin(), v.end(), [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return (c < 0x20 && c != '\t') || c == 0x7F;
  });
}

// A method or header name: a token (visible bytes but separators).
bool token(const std::string &s) {
  static const std::string kSeparators = "()<>@,;:\\\"/[]?={} \t";
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c > 0x20 && c < 0x7F && kSeparators.find(ch) == std::string::npos;
  });
}

// A request target is visible ASCII alone: anything else arrives
// percent-encoded from a browser.
bool visible(const std::string &s) {
  return std::all_of(s.begin(), s.end(), [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c > 0x20 && c < 0x7F;
  });
}

bool http_version(const std::string &v) {
  return v.size() == 8 && v.compare(0, 7, "HTTP/1.") == 0 &&
         std::isdigit(static_cast<unsigned char>(v[7]));
}

HeadResult refuse(int status, const std::string &why) {
  HeadResult r;
  r.status = status;
  r.why = why;
  return r;
}

}  // namespace

size_t Request::count(const std::string &name) const {
  return static_cast<size_t>(
      std::count_if(headers.begin(), headers.end(),
                    [&](const auto &h) { return h.first == name; }));
}

std::string Request::header(const std::string &name) const {
  for (const auto &h : headers)
    if (h.first == name) return h.second;
  return "";
}

std::string Request::list(const std::string &name) const {
  std::string joined;
  for (const auto &h : headers)
    if (h.first == name) joined += (joined.empty() ? "" : ", ") + h.second;
  return joined;
}

std::string Request::param(const std::string &name) const {
  size_t at = 0;
  while (at <= query.size()) {
    const size_t amp = std::min(query.find('&', at), query.size());
    const std::string pair = query.substr(at, amp - at);
    const size_t eq = pair.find('=');
    if (pair.substr(0, eq) == name)
      return eq == std::string::npos ? "" : pair.substr(eq + 1);
    at = amp + 1;
  }
  return "";
}

std::string Request::host() const {
  return authority.empty() ? header("host") : authority;
}

HeadResult parse_head(const std::string &head, size_t body_limit,
                      Request &req) {
  size_t at = head.find(kLineEnd);
  const std::string line = head.substr(0, at);
  const size_t s1 = line.find(' '), s2 = line.rfind(' ');
  if (s1 == std::string::npos || s2 == s1 ||
      !http_version(line.substr(s2 + 1)) || !token(line.substr(0, s1)))
    return refuse(400, "bad request: not an HTTP/1.x request line");
  req.method = line.substr(0, s1);
  std::string target = line.substr(s1 + 1, s2 - s1 - 1);
  if (!visible(target))
    return refuse(400, "bad request: the target is not a path");
  if (lower(target.substr(0, 7)) == kAbsolutePrefix) {
    const size_t slash = std::min(target.find_first_of("/?", 7), target.size());
    req.authority = target.substr(7, slash - 7);
    target = slash < target.size() && target[slash] == '?'
                 ? "/" + target.substr(slash)
                 : target.substr(slash);
    if (target.empty()) target = "/";
    if (req.authority.empty())
      return refuse(400, "bad request: an absolute target without a host");
  }
  if (target.empty() || target[0] != '/')
    return refuse(400, "bad request: the target is not a path");
  const size_t q = target.find('?');
  req.path = target.substr(0, q);
  req.query = q == std::string::npos ? "" : target.substr(q + 1);
  while (at != std::string::npos && at + 2 < head.size()) {
    const size_t next = head.find(kLineEnd, at + 2);
    const std::string h = head.substr(at + 2, next - at - 2);
    at = next;
    if (h.empty()) break;
    if (h[0] == ' ' || h[0] == '\t')
      return refuse(400, "bad request: a folded header line");
    const size_t colon = h.find(':');
    if (colon == std::string::npos || !token(h.substr(0, colon)))
      return refuse(400, "bad request: a header without a name");
    const std::string value = h.substr(colon + 1);
    if (!clean_value(value))
      return refuse(400, "bad request: a control byte in a header");
    req.headers.emplace_back(lower(h.substr(0, colon)), trim(value));
  }
  if (req.count("transfer-encoding") != 0)
    return refuse(411, "length required: no chunked bodies here");
  if (req.count("content-length") > 1)
    return refuse(400, "bad request: two Content-Length headers");
  HeadResult ok;
  std::string length = req.header("content-length");
  if (req.count("content-length") == 0) return ok;
  if (length.empty() ||
      length.find_first_not_of("0123456789") != std::string::npos)
    return refuse(400, "bad request: a bad Content-Length");
  length.erase(0, std::min(length.find_first_not_of('0'), length.size() - 1));
  if (length.size() > kMaxLengthDigits ||
      (ok.body_size = std::stoul(length)) > body_limit)
    return refuse(413, "content too large: at most " +
                           std::to_string(body_limit) + " bytes");
  return ok;
}

}  // namespace http
}  // namespace kestrav_tool
