#include "serve_address.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <algorithm>

#include "options.h"
#include "port.h"

namespace kestrav_tool {

ServeAddress parse_serve_address(const std::string &listen,
                                 const char *option) {
  ServeAddress a{"127.0.0.1", 0};
  std::string port = listen;
  const size_t colon = listen.rfind(':');
  if (colon != std::string::npos) {
    a.host = listen.substr(0, colon);
    port = listen.substr(colon + 1);
    if (a.host.size() >= 2 && a.host.front() == '[' && a.host.back() == ']')
      a.host = a.host.substr(1, a.host.size() - 2);
  }
  a.port = parse_tcp_port(port);
  if (a.host.empty() || a.port < 0)
    throw UsageError(std::string(option) +
                     " takes [HOST:]PORT, PORT from 0 to 65535, not '" +
                     listen + "'");
  return a;
}

void check_serve_address(const std::string &listen, const char *option) {
  parse_serve_address(listen, option);
}

namespace {

constexpr int kDefaultHttpPort = 80;
constexpr const char *kHttpScheme = "http://";

// Splits "NAME[:PORT]" (NAME an IPv6 literal in brackets, or anything
// without a colon); a missing PORT is HTTP's default, which browsers and
// curl leave out of Host and Origin. False when it does not split.
bool split_host(const std::string &host, std::string &name, std::string &port) {
  size_t end = 0;
  if (!host.empty() && host[0] == '[') {
    end = host.find(']');
    if (end == std::string::npos) return false;
    ++end;
  } else {
    end = std::min(host.find(':'), host.size());
  }
  name = host.substr(0, end);
  if (end == host.size()) {
    port = std::to_string(kDefaultHttpPort);
    return true;
  }
  if (host[end] != ':') return false;
  port = host.substr(end + 1);
  return true;
}

}  // namespace

bool names_this_server(const std::string &host, int port) {
  std::string name, written;
  if (!split_host(host, name, written) || written != std::to_string(port))
    return false;
  unsigned char address[16];
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    return inet_pton(AF_INET6, name.substr(1, name.size() - 2).c_str(),
                     address) == 1;
  return name == "localhost" || inet_pton(AF_INET, name.c_str(), address) == 1;
}

bool same_origin(const std::string &origin, const std::string &host, int port) {
  const std::string scheme = kHttpScheme;
  if (origin.compare(0, scheme.size(), scheme) != 0) return false;
  const std::string of = origin.substr(scheme.size());
  std::string name, name_of, written, written_of;
  return names_this_server(of, port) && split_host(host, name, written) &&
         split_host(of, name_of, written_of) && name == name_of;
}

std::string host_with_port(const std::string &host, int port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace kestrav_tool
