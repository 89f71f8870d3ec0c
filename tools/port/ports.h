// What `kestrav ports` lists: the serial ports and HID devices a user can
// pass to the other subcommands, with what the system knows of each.
#pragma once

#include <string>
#include <vector>

namespace kestrav_tool {

struct PortInfo {
  std::string kind;          // "serial" or "hid"
  std::string path;          // what the other subcommands take
  std::string by_id;         // Linux: the stable /dev/serial/by-id/ name
  std::string driver;        // Linux serial ports
  std::string bus;           // HID: usb, bluetooth, ...
  std::string vid, pid;      // four hex digits each
  std::string manufacturer;  // where the device says
  std::string product;
  std::string serial;
  std::string name;  // Windows: the friendly name; Linux HID: HID_NAME
  std::string note;  // Linux: what a user must know of the port's UART
};

#if defined(__linux__)
// For a UART driver known to lack something SBUS needs, the note that says
// what and names the UART to use instead; null for any other driver.
const char *uart_note(const std::string &driver);

// The driver of the UART behind a terminal descriptor, from sysfs
// (/sys/dev/char/MAJOR:MINOR); "" for a pseudo-terminal or anything else
// without one.
std::string tty_driver(int fd);
#endif

// Every serial port and HID device present, serial ports first, each group
// in the order of its path. Nothing found is an empty list, not an error.
std::vector<PortInfo> list_ports();

#if defined(_WIN32)
// The device paths of the HID interfaces present, and a device's VID and PID
// (four hex digits each) and product string.
std::vector<std::string> hid_device_paths();
bool hid_attributes(const std::string &path, std::string &vid, std::string &pid,
                    std::string &product);
#endif

}  // namespace kestrav_tool
