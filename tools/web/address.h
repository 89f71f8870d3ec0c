// The address the live view listens on: "[HOST:]PORT", apart from the
// server so that the option parsers and the tests need no HTTP library.
#pragma once

#include <string>

namespace kestrav_tool {

struct ServeAddress {
  std::string host;  // without brackets; 127.0.0.1 when left out
  int port = 0;      // 0 picks a free one
};

// A UsageError when listen is not [HOST:]PORT with PORT from 0 to 65535.
ServeAddress parse_serve_address(const std::string &listen);
// The same, for an option parser that only checks.
void check_serve_address(const std::string &listen);

// 127.0.0.0/8, ::1 and localhost: the addresses that stay on this machine.
bool is_loopback_host(const std::string &host);

// "HOST:PORT", with an IPv6 HOST in brackets: what a Host header names.
std::string host_with_port(const std::string &host, int port);

}  // namespace kestrav_tool
