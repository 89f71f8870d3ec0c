// kestrav ports: lists the serial ports and HID devices a user can pass to
// the other subcommands.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "options.h"
#include "ports.h"
#include "record.h"
#include "run.h"

namespace kestrav_tool {
namespace {

// A JSON string: quotes, backslashes and control characters escaped.
std::string json_string(const std::string &s) {
  std::string out = "\"";
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04x", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void print_jsonl(const PortInfo &p) {
  const std::pair<const char *, const std::string *> fields[] = {
      {"kind", &p.kind},       {"path", &p.path},
      {"by_id", &p.by_id},     {"driver", &p.driver},
      {"bus", &p.bus},         {"vid", &p.vid},
      {"pid", &p.pid},         {"manufacturer", &p.manufacturer},
      {"product", &p.product}, {"serial", &p.serial},
      {"name", &p.name},       {"note", &p.note}};
  std::string line;
  for (const auto &f : fields) {
    if (f.second->empty()) continue;  // absent fields are left out
    line += (line.empty() ? "{" : ", ") + json_string(f.first) + ": " +
            json_string(*f.second);
  }
  std::printf("%s}\n", line.c_str());
}

void print_text(const PortInfo &p) {
  std::string line = p.kind + "  " + p.path;
  if (!p.vid.empty()) line += "  " + p.vid + ":" + p.pid;
  for (const std::string *s :
       {&p.bus, &p.driver, &p.manufacturer, &p.product, &p.name})
    if (!s->empty()) line += "  " + *s;
  if (!p.serial.empty()) line += "  serial " + p.serial;
  std::printf("%s\n", line.c_str());
  if (!p.by_id.empty()) std::printf("    %s\n", p.by_id.c_str());
  if (!p.note.empty()) std::printf("    note: %s\n", p.note.c_str());
}

int run(int argc, char **argv) {
  Format format = Format::Text;
  OptionParser p{"ports", {{"format", required_argument, nullptr, 'f'}}};
  const int first = p.parse(argc, argv, [&](int c, const char *arg) {
    if (c != 'f') return;
    format = parse_format(arg);
    if (format == Format::Csv)
      throw UsageError("--format must be text or jsonl, not 'csv'");
  });
  if (first != argc) throw UsageError("ports takes no operand");
  const std::vector<PortInfo> ports = list_ports();
  if (ports.empty()) {
    say("no serial port or HID device found");
    return 0;
  }
  std::string why;
  return run_guarded(
      [&] {
        errno = 0;
        for (const PortInfo &port : ports)
          (format == Format::Jsonl ? print_jsonl : print_text)(port);
        flush_output(stdout);
      },
      why);
}

}  // namespace

const Command kPortsCommand = {
    "ports", run, "list serial ports and HID devices",
    "usage: kestrav ports [--format text|jsonl]\n"
    "\n"
    "Lists what the other subcommands take: the serial ports (Linux: every\n"
    "tty with a driver behind it, its stable /dev/serial/by-id/ name and\n"
    "driver; Windows: the COM ports and their friendly names) and the HID\n"
    "devices (Linux: hidraw nodes; Windows: device paths for `kestrav hid`),\n"
    "with VID:PID, manufacturer, product and serial number where the system\n"
    "knows them. Finding nothing is not an error.\n"
    "\n"
    "  --format F        text (default) or jsonl: one object a port, with\n"
    "                    kind, path, by_id, driver, bus, vid, pid,\n"
    "                    manufacturer, product, serial, name and note (a\n"
    "                    UART that SBUS cannot use); absent fields are\n"
    "                    left out\n"
    "  --help            this text\n"};

}  // namespace kestrav_tool
