// Parts of the port layer that every platform shares.
#include "port.h"

#include <sys/stat.h>

#include <cstdio>

#include "say.h"

namespace kestrav_tool {

void Port::fail(const std::string &what) const {
  throw PortError(name_ + ": " + what);
}

void Port::check_speed(const LineSettings &line) const {
  const uint32_t got = speed();
  if (got == line.baud || got == 0) return;
  const std::string what = "the port runs at " + std::to_string(got) +
                           " baud, not the " + std::to_string(line.baud) +
                           " requested (the driver refused or rounded it)";
  refuse_line(what, line);
}

void Port::refuse_line(const std::string &what,
                       const LineSettings &line) const {
  if (line.strict_speed) throw LineRefused(name_ + ": " + what);
  say("warning: %s: %s", name_.c_str(), what.c_str());
}

bool split_tcp(const std::string &address, std::string &host,
               std::string &port) {
  static const std::string kPrefix = "tcp:";
  if (address.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  const size_t colon = address.rfind(':');
  if (colon < kPrefix.size() + 1 || colon + 1 >= address.size()) return false;
  host = address.substr(kPrefix.size(), colon - kPrefix.size());
  // [::1]:5000 names an IPv6 host.
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  port = address.substr(colon + 1);
  return true;
}

int parse_tcp_port(const std::string &text) {
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  const unsigned long port = std::stoul(text);
  return port > 65535 ? -1 : static_cast<int>(port);
}

std::string join_tcp(const std::string &host, const std::string &port) {
  if (host.find(':') != std::string::npos) return "tcp:[" + host + "]:" + port;
  return "tcp:" + host + ":" + port;
}

std::string line_text(const std::string &address, const LineSettings &line) {
  if (address.compare(0, 4, "tcp:") == 0) return "";
  return std::to_string(line.baud) + " 8" +
         (line.parity == LineSettings::Parity::Even ? "E" : "N") +
         std::to_string(line.stop_bits);
}

std::unique_ptr<Port> open_capture(const std::string &path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  // A HID recording is a byte stream too, opened the same way.
  return open_hid(path).port;
}

}  // namespace kestrav_tool
