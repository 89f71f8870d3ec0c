// The address the live view listens on: "[HOST:]PORT", apart from the
// server so that the option parsers and the tests need no HTTP library.
#pragma once

#include <string>

namespace kestrav_tool {

struct ServeAddress {
  std::string host;  // without brackets; 127.0.0.1 when left out
  int port = 0;      // 0 picks a free one
};

// A UsageError, naming option, when listen is not [HOST:]PORT with PORT
// from 0 to 65535.
ServeAddress parse_serve_address(const std::string &listen,
                                 const char *option = "--serve");
// The same, for an option parser that only checks.
void check_serve_address(const std::string &listen,
                         const char *option = "--serve");

// Whether a Host header names a server on port: an IP address literal
// (IPv4, or IPv6 in brackets) or "localhost", with that port. Other names
// are refused, since DNS rebinding needs one: a page on a name of its own
// that resolves here. An address literal cannot be rebound, so every
// address of a server bound to all of them (0.0.0.0) is accepted.
// A Host without a port names port 80, HTTP's default, which browsers and
// curl leave out.
bool names_this_server(const std::string &host, int port);

// Whether an Origin header is this server as host (a Host that
// names_this_server) names it: "http://" and the same name, on port, its
// port written or, for 80, left out.
bool same_origin(const std::string &origin, const std::string &host, int port);

// "HOST:PORT", with an IPv6 HOST in brackets: what a Host header names.
std::string host_with_port(const std::string &host, int port);

}  // namespace kestrav_tool
