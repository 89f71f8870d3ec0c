// An HTTP/1.x request head, parsed apart from any socket, so that the
// server's rules can be tested (and fuzzed) on bytes alone.
//
// The rules are strict on purpose: the view's only clients are a browser
// and scripts, and everything loose in a head is a way past a check.
// - the request line is METHOD SP TARGET SP HTTP/1.d, nothing more;
// - the target is origin-form (/path?query) or absolute-form
//   (http://authority/path?query), whose authority then stands for Host;
// - a header line that starts with a space or a tab (an obs-fold, which
//   continues the line before it) is refused: one reader would join it,
//   another take it as a header of its own;
// - a control byte in a header value (NUL, CR or LF alone, DEL, ...) is
//   refused: "127.0.0.1\0.evil.example" must not read as a loopback Host;
// - a Content-Length is digits alone; more than the body bound is 413,
//   however many digits it has.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace kestrav_tool {
namespace http {

struct Request {
  std::string method;
  std::string path;       // the target's path, before any '?'
  std::string query;      // after the '?', undecoded
  std::string authority;  // an absolute-form target's host[:port], or ""
  // In the order they came, names in lower case, values trimmed.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // How many headers have this (lower-case) name, and the first one's
  // value ("" when none).
  size_t count(const std::string &name) const;
  std::string header(const std::string &name) const;
  // Every value of a list header, on one line or many, joined by commas
  // as one list ("" when none).
  std::string list(const std::string &name) const;
  // The query parameter's value as written ("" when absent).
  std::string param(const std::string &name) const;
  // Whom the request is for: the authority of an absolute-form target,
  // or else the Host header.
  std::string host() const;
};

// What a head says: status 0 with the body's size when the request may go
// on, or the status to refuse it with and a one-line reason.
struct HeadResult {
  int status = 0;
  std::string why;
  size_t body_size = 0;
};

// Parses head, the bytes up to and including the blank line ("\r\n\r\n"),
// into req. body_limit bounds Content-Length.
HeadResult parse_head(const std::string &head, size_t body_limit, Request &req);

}  // namespace http
}  // namespace kestrav_tool
