// The subcommands. Each takes its own arguments (argv[0] is its name) and
// returns the exit status; usage errors are thrown as UsageError.
#pragma once

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

}  // namespace kestrav_tool
