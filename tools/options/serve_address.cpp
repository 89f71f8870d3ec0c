#include "serve_address.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include "options.h"
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

bool names_this_server(const std::string &host, int port) {
  const size_t colon = host.rfind(':');
  if (colon == std::string::npos ||
      host.substr(colon + 1) != std::to_string(port))
    return false;
  const std::string name = host.substr(0, colon);
  unsigned char address[16];
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    return inet_pton(AF_INET6, name.substr(1, name.size() - 2).c_str(),
                     address) == 1;
  return name == "localhost" || inet_pton(AF_INET, name.c_str(), address) == 1;
}

std::string host_with_port(const std::string &host, int port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace kestrav_tool
