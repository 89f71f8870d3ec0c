// Listing ports on Linux, from sysfs: /sys/class/tty entries with a device
// link (a real driver: this leaves out virtual consoles and ptys), their
// stable names under /dev/serial/by-id, and /sys/class/hidraw.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <string>
#include <vector>

#include "ports.h"

namespace kestrav_tool {
namespace {

constexpr const char *kTtyClass = "/sys/class/tty";
constexpr const char *kHidrawClass = "/sys/class/hidraw";
constexpr const char *kById = "/dev/serial/by-id";
constexpr const char *kCharDevices = "/sys/dev/char";
// The Broadcom mini UART (usually ttyS0 on boards whose Bluetooth has the
// PL011) has no parity in hardware: it clears nothing and sends no parity
// bit, so an SBUS receiver drops every frame it sends.
constexpr const char *kMiniUart = "bcm2835-aux-uart";

std::vector<std::string> entries(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent *e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// The first line of a sysfs attribute, or "" when there is none.
std::string attribute(const std::string &path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
    line.pop_back();
  return line;
}

std::string resolved(const std::string &path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) != nullptr ? buf : "";
}

// Where a symlink points, as a clean absolute path, worked out from the
// link's text alone (the target need not be there to be named).
std::string link_target(const std::string &link) {
  char buf[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return "";
  std::string target(buf, static_cast<size_t>(n));
  if (target[0] != '/') target = link.substr(0, link.rfind('/') + 1) + target;
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= target.size()) {
    const size_t slash = std::min(target.find('/', at), target.size());
    const std::string part = target.substr(at, slash - at);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    at = slash + 1;
  }
  std::string clean;
  for (const std::string &part : parts) clean += "/" + part;
  return clean;
}

std::string last_part(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The USB device above a tty's device: the nearest folder up the sysfs
// tree that has an idVendor.
void usb_attributes(const std::string &device, PortInfo &p) {
  for (std::string dir = resolved(device); dir.size() > 1;
       dir = dir.substr(0, dir.rfind('/'))) {
    const std::string vid = attribute(dir + "/idVendor");
    if (vid.empty()) continue;
    p.vid = vid;
    p.pid = attribute(dir + "/idProduct");
    p.manufacturer = attribute(dir + "/manufacturer");
    p.product = attribute(dir + "/product");
    p.serial = attribute(dir + "/serial");
    return;
  }
}

// The driver of a tty's device. Newer kernels put the serial core's own
// devices ("port", under a "ctrl") between a UART and its tty: the driver
// that names the hardware is the first one above them.
std::string uart_driver(const std::string &device) {
  std::string dir = resolved(device);
  for (int up = 0; up < 3 && dir.size() > 1; ++up) {
    const std::string driver = last_part(resolved(dir + "/driver"));
    if (driver != "port" && driver != "ctrl") return driver;
    dir = dir.substr(0, dir.rfind('/'));
  }
  return "";
}

}  // namespace

const char *uart_note(const std::string &driver) {
  if (driver == kMiniUart)
    return "a mini UART with no parity in hardware: SBUS frames would go out "
           "without their parity bit, and a receiver drops them all; use the "
           "PL011 UART (/dev/ttyAMA0) instead";
  return nullptr;
}

std::string tty_driver(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return "";
  return uart_driver(std::string(kCharDevices) + "/" +
                     std::to_string(major(st.st_rdev)) + ":" +
                     std::to_string(minor(st.st_rdev)) + "/device");
}

std::vector<PortInfo> list_ports() {
  std::vector<PortInfo> ports;
  // The by-id links, by the device they point at.
  std::vector<std::pair<std::string, std::string>> by_id;
  for (const std::string &name : entries(kById)) {
    const std::string link = std::string(kById) + "/" + name;
    by_id.emplace_back(link_target(link), link);
  }
  for (const std::string &name : entries(kTtyClass)) {
    const std::string base = std::string(kTtyClass) + "/" + name;
    if (resolved(base + "/device").empty()) continue;  // no driver behind it
    // An 8250 port that the kernel sets aside whether or not a UART is
    // there (ttyS1 to ttyS3 on most PCs, up to ttyS31 on some): with none,
    // its type is PORT_UNKNOWN (0) and every open fails.
    if (attribute(base + "/type") == "0") continue;
    PortInfo p;
    p.kind = "serial";
    p.path = "/dev/" + name;
    for (const auto &link : by_id)
      if (link.first == p.path) p.by_id = link.second;
    p.driver = uart_driver(base + "/device");
    if (const char *note = uart_note(p.driver)) p.note = note;
    usb_attributes(base + "/device", p);
    ports.push_back(p);
  }
  for (const std::string &name : entries(kHidrawClass)) {
    const std::string base = std::string(kHidrawClass) + "/" + name;
    PortInfo p;
    p.kind = "hid";
    p.path = "/dev/" + name;
    // HID_ID=0003:0000046D:0000C21D (bus, vendor, product), HID_NAME=...
    std::ifstream uevent(base + "/device/uevent");
    for (std::string line; std::getline(uevent, line);) {
      if (line.compare(0, 7, "HID_ID=") == 0) {
        const std::string id = line.substr(7);
        const std::string bus = id.substr(0, id.find(':'));
        p.bus = bus == "0003"   ? "usb"
                : bus == "0005" ? "bluetooth"
                : bus == "0018" ? "i2c"
                                : bus;
        if (id.size() >= 22) {
          p.vid = id.substr(9, 4);
          p.pid = id.substr(18, 4);
          for (std::string *s : {&p.vid, &p.pid})
            std::transform(s->begin(), s->end(), s->begin(), ::tolower);
        }
      } else if (line.compare(0, 9, "HID_NAME=") == 0) {
        p.name = line.substr(9);
      }
    }
    ports.push_back(p);
  }
  return ports;
}

}  // namespace kestrav_tool
