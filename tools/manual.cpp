// The manual page, made from the same help texts that --help prints, so
// that the two cannot drift apart. Each command's text is laid out as
//
//   usage: kestrav NAME ...        (the synopsis)
//   paragraphs of prose, separated by blank lines
//     --option ARG      what it does,
//                       continued on lines indented further
//
// and becomes one subsection of roff.
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"

namespace kestrav_tool {
namespace {

// Text for roff: backslashes and hyphens escaped, and a line that would
// start with a control character protected.
std::string roff(const std::string &text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
  return out;
}

std::vector<std::string> lines_of(const char *text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Real command lines, each with what it does.
struct Example {
  const char *line;
  const char *what;
};
constexpr Example kExamples[] = {
    {"kestrav ports", "the serial ports and game controllers there are"},
    {"kestrav link /dev/ttyUSB0 --count 10",
     "ask the device for port data and print ten records"},
    {"kestrav link /dev/serial/by-id/usb-adapter-if00-port0 --reconnect "
     "--record run.mcap",
     "record a long run that survives the adapter being unplugged"},
    {"kestrav link tcp:192.168.4.1:23 --format jsonl",
     "the device behind a TCP serial bridge, as JSON lines"},
    {"kestrav link /dev/ttyUSB0 --serve 8080",
     "the same, live in a browser (open the address it prints)"},
    {"kestrav inspect run.mcap --format csv > run.csv",
     "a recording's records as CSV"},
    {"kestrav inspect run.mcap --serve 0",
     "replay a recording into the page, at its recorded pace"},
    {"kestrav sbus /dev/ttyUSB1 --values 992,992,992,992,992,992,992,992,"
     "992,992,992,992,992,992,992,992",
     "hold every servo at its centre"},
    {"kestrav sbus /dev/ttyUSB1 --serve 8080",
     "drive the servos from sliders in a browser"},
    {"kestrav sbus-monitor /dev/ttyUSB2 --format jsonl",
     "read what an SBUS receiver or an adapter in loopback gives"},
    {"kestrav hid /dev/hidraw0 --sbus-map 0,1 | kestrav sbus /dev/ttyUSB1 "
     "--input -",
     "a game controller's sticks to two servos"},
    {"kestrav simulate --pty --keep --waves",
     "a device without hardware, for host after host"},
};

bool is_option(const std::string &line) {
  return line.compare(0, 3, "  -") == 0;
}

void print_command(std::FILE *out, const Command &c) {
  const std::vector<std::string> lines = lines_of(c.usage);
  static const std::string kUsage = "usage: ";
  std::string synopsis = lines.empty() ? c.name : lines[0];
  if (synopsis.compare(0, kUsage.size(), kUsage) == 0)
    synopsis = synopsis.substr(kUsage.size());
  std::fprintf(out, ".SS \"%s\"\n", roff(synopsis).c_str());
  bool paragraph = false;
  for (size_t k = 1; k < lines.size(); ++k) {
    const std::string &line = lines[k];
    if (line.empty()) {
      paragraph = false;
      continue;
    }
    if (is_option(line)) {
      // "  --name ARG      text": the name runs up to the first gap of two
      // spaces; the text goes on over the lines indented further.
      const size_t gap = line.find("  ", 2);
      std::string name = line.substr(
          2, gap == std::string::npos ? std::string::npos : gap - 2);
      std::string text = gap == std::string::npos
                             ? ""
                             : line.substr(line.find_first_not_of(' ', gap));
      while (k + 1 < lines.size() && !lines[k + 1].empty() &&
             !is_option(lines[k + 1]) &&
             lines[k + 1].compare(0, 4, "    ") == 0) {
        ++k;
        text += " " + lines[k].substr(lines[k].find_first_not_of(' '));
      }
      std::fprintf(out, ".TP\n.B %s\n%s\n", roff(name).c_str(),
                   roff(text).c_str());
      paragraph = false;
      continue;
    }
    if (!paragraph) std::fprintf(out, ".PP\n");
    paragraph = true;
    std::fprintf(out, "%s\n",
                 roff(line.substr(line.find_first_not_of(' '))).c_str());
  }
}

}  // namespace

void print_manual(std::FILE *out, const Command *const *commands, size_t n,
                  const char *version) {
  std::fprintf(out,
               ".TH KESTRAV 1 \"\" \"kestrav %s\" \"User Commands\"\n"
               ".SH NAME\n"
               "kestrav \\- talk to a device over its link, drive and read "
               "SBUS, read game controllers\n"
               ".SH SYNOPSIS\n"
               ".B kestrav\n.I COMMAND\n[options]\n.br\n"
               ".B kestrav\n.I COMMAND\n.B \\-\\-help\n.br\n"
               ".B kestrav \\-\\-version\n.br\n"
               ".B kestrav \\-\\-man\n"
               ".SH DESCRIPTION\n"
               "kestrav does the I/O that the Kestrav library leaves to its "
               "host: serial ports, TCP bridges, SBUS line settings and "
               "pacing, game controllers and a device simulator. It reaches "
               "the library through its public header, as any host does. "
               "\\-\\-man prints this page.\n"
               ".SH COMMANDS\n",
               version);
  for (size_t k = 0; k < n; ++k) {
    std::fprintf(out, ".TP\n.B %s\n%s\n", commands[k]->name,
                 roff(commands[k]->summary).c_str());
  }
  for (size_t k = 0; k < n; ++k) print_command(out, *commands[k]);
  std::fprintf(out,
               ".SH EXIT STATUS\n"
               ".TP\n.B 0\nThe run ended as asked: a limit, the end of the "
               "input, Ctrl\\-C, SIGTERM, SIGHUP, or the reader of standard "
               "output leaving.\n"
               ".TP\n.B 1\nA failure, reported in one line that names the "
               "port or file and the system's reason; also a link run that "
               "sent its request and got no port data at all.\n"
               ".TP\n.B 2\nA bad command line: the error, and where the "
               "help is, are printed. Also a serial port that does not keep "
               "the line settings asked of it, or whose UART cannot do them "
               "(see \\-\\-warn\\-speed).\n");
  std::fprintf(out, ".SH EXAMPLES\n");
  for (const Example &e : kExamples)
    std::fprintf(out, ".TP\n.B %s\n%s\n", roff(e.line).c_str(),
                 roff(e.what).c_str());
  std::fprintf(
      out,
      ".SH FILES\n"
      ".TP\n.I /dev/ttyUSB*, /dev/ttyACM*, /dev/serial/by-id/*\n"
      "USB serial adapters; group dialout. A user outside it gets "
      "\"Permission denied\" and the command that adds them: sudo usermod "
      "\\-aG dialout $USER, then a new login.\n"
      ".TP\n.I /dev/hidraw*\n"
      "Game controllers, readable by root alone unless a udev rule gives "
      "them to a user or group: a rule in "
      "/etc/udev/rules.d/70\\-kestrav\\-hid.rules, for the "
      "controller's VID:PID (kestrav ports shows it). An example is "
      "docs/70\\-kestrav\\-hid.rules, installed with the documentation "
      "(share/doc/Kestrav/docs).\n"
      ".TP\n.I FILE.mcap\n"
      "A recording made with \\-\\-record: raw bytes and records with "
      "their times, which inspect replays.\n"
      ".SH SEE ALSO\n"
      ".BR stty (1),\n.BR udev (7),\n.BR setserial (8);\n"
      "the documentation pages in share/doc/Kestrav/docs, one for each "
      "command, the live view, the live source, recordings, the library, "
      "the bindings, building and testing, reliability and benchmarks.\n");
}

}  // namespace kestrav_tool
