// kestrav: the command-line tool that does the I/O the library leaves to
// its host: serial ports, TCP bridges, SBUS, game controllers and a device
// simulator.
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "options.h"
#include "port.h"
#include "record.h"
#include "run.h"

namespace kestrav_tool {
namespace {

const Command *const kCommands[] = {
    &kLinkCommand,        &kInspectCommand, &kSimulateCommand, &kSbusCommand,
    &kSbusMonitorCommand, &kHidCommand,     &kPortsCommand};

void print_overview(std::FILE *out) {
  std::fprintf(out,
               "usage: kestrav COMMAND [options]\n"
               "       kestrav COMMAND --help\n"
               "       kestrav --version\n"
               "       kestrav --man     (this help as a manual page)\n"
               "\ncommands:\n");
  for (const Command *c : kCommands)
    std::fprintf(out, "  %-14s %s\n", c->name, c->summary);
}

bool wants_help(int argc, char **argv) {
  for (int k = 1; k < argc; ++k) {
    if (std::strcmp(argv[k], "--") == 0) return false;
    if (std::strcmp(argv[k], "--help") == 0 || std::strcmp(argv[k], "-h") == 0)
      return true;
  }
  return false;
}

int dispatch(int argc, char **argv) {
  if (argc < 2) {
    say("no command given");
    print_overview(stderr);
    return 2;
  }
  const char *name = argv[1];
  if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0) {
    print_overview(stdout);
    return 0;
  }
  if (std::strcmp(name, "--man") == 0) {
    print_manual(stdout, kCommands, sizeof kCommands / sizeof kCommands[0],
                 tool_version().c_str());
    return 0;
  }
  if (std::strcmp(name, "--version") == 0) {
    std::printf("kestrav %s\n", tool_version().c_str());
    return 0;
  }
  for (const Command *c : kCommands) {
    if (std::strcmp(name, c->name) != 0) continue;
    if (wants_help(argc - 1, argv + 1)) {
      std::fputs(c->usage, stdout);
      return 0;
    }
    set_command_name(c->name);
    try {
      return c->run(argc - 1, argv + 1);
    } catch (const EndedWhileWaiting &) {
      return 0;
    } catch (const UsageError &e) {
      // The error, and where the usage is: the whole text would scroll the
      // error away.
      if (e.what()[0] != '\0') say("%s", e.what());  // else getopt said it
      std::fprintf(stderr, "see 'kestrav %s --help'\n", c->name);
      return 2;
    } catch (const LineRefused &e) {
      say("%s", e.what());
      return 2;
    } catch (const std::exception &e) {
      say("%s", e.what());
      return 1;
    }
  }
  say("unknown command '%s'", name);
  print_overview(stderr);
  return 2;
}

}  // namespace
}  // namespace kestrav_tool

int main(int argc, char **argv) {
  kestrav_tool::set_command_line(argc, argv);  // for recordings
  return kestrav_tool::dispatch(argc, argv);
}
