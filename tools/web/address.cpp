#include "address.h"

#include "cli.h"
#include "port.h"

namespace kestrav_tool {

ServeAddress parse_serve_address(const std::string &listen) {
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
    throw UsageError("--serve takes [HOST:]PORT, PORT from 0 to 65535, not '" +
                     listen + "'");
  return a;
}

void check_serve_address(const std::string &listen) {
  parse_serve_address(listen);
}

bool is_loopback_host(const std::string &host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

std::string host_with_port(const std::string &host, int port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace kestrav_tool
