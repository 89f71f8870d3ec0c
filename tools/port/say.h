// The tool's one voice on standard error: every message is one line that
// names the subcommand it comes from.
#pragma once

namespace kestrav_tool {

// The subcommand that runs ("link"), for messages; none before one runs.
void set_command_name(const char *name);
// One line on stderr, "kestrav COMMAND: " and the message, flushed at once
// (at most 4 KiB of it).
void say(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kestrav_tool
