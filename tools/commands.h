// The subcommands. Each takes its own arguments (argv[0] is its name) and
// returns the exit status; usage errors are thrown as UsageError.
#pragma once

#include <cstddef>
#include <cstdio>

namespace kestrav_tool {

struct Command {
  const char *name;
  int (*run)(int argc, char **argv);
  const char *summary;
  const char *usage;  // the full --help text
};

extern const Command kLinkCommand;
extern const Command kInspectCommand;
extern const Command kSimulateCommand;
extern const Command kSbusCommand;
extern const Command kSbusMonitorCommand;
extern const Command kHidCommand;
extern const Command kPortsCommand;

// Writes the manual page (roff) for the given commands.
void print_manual(std::FILE *out, const Command *const *commands, size_t n,
                  const char *version);

}  // namespace kestrav_tool
