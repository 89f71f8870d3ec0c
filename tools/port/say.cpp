#include "say.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace kestrav_tool {
namespace {
std::string g_prefix = "kestrav";
}  // namespace

void set_command_name(const char *name) {
  g_prefix = std::string("kestrav ") + name;
}

void say(const char *format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::fprintf(stderr, "%s: %s\n", g_prefix.c_str(), text);
  std::fflush(stderr);
}

}  // namespace kestrav_tool
