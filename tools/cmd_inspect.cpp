// kestrav inspect: decodes a recorded link stream with the records of
// `kestrav link`. A recording has no clock, so every record's time is 0.
#include <cstdio>
#include <memory>
#include <string>

#include "cli.h"
#include "commands.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace kestrav_tool {
namespace {

int run(int argc, char **argv) {
  Format format = Format::Text;
  OptionParser p{"inspect", {{"format", required_argument, nullptr, 'f'}}};
  const int first = p.parse(argc, argv, [&](int c, const char *arg) {
    if (c == 'f') format = parse_format(arg);
  });
  if (first != argc - 1) throw UsageError("inspect takes exactly one FILE");
  const std::string path = argv[first];

  std::FILE *in = stdin;
  std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(nullptr, std::fclose);
  if (path != "-") {
    file.reset(std::fopen(path.c_str(), "rb"));
    if (!file)
      throw ToolError(path + ": cannot open the file: " + system_reason());
    in = file.get();
  } else {
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
#endif
  }
  RecordWriter writer(stdout, format, RecordWriter::Kind::Link);
  LinkDecoder decoder(writer, 0);
  uint8_t buf[4096];
  size_t n;
  try {
    writer.begin();
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0)
      decoder.feed(buf, n, 0.0);
  } catch (const OutputClosed &) {
    return 0;  // the reader left (| head): a normal end
  }
  if (std::ferror(in))
    throw ToolError(path + ": read failed: " + system_reason());
  return 0;
}

}  // namespace

const Command kInspectCommand = {
    "inspect", run, "decode a recorded link stream",
    "usage: kestrav inspect FILE [--format text|csv|jsonl]\n"
    "\n"
    "Decodes a stream recorded with `kestrav link --record` (or any capture\n"
    "of the device's bytes) and prints the records `kestrav link` prints.\n"
    "A recording has no clock: every record's time is 0. FILE - reads\n"
    "standard input.\n"
    "\n"
    "  --format F        text, csv or jsonl (default text)\n"
    "  --help            this text\n"};

}  // namespace kestrav_tool
