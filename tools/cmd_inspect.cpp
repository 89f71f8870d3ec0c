// kestrav inspect: decodes a recording with the records of the command that
// made it. An MCAP recording (told apart by its first bytes, not its name)
// keeps its clock: its raw channel goes through the same decoder as in the
// live run, with each record's t as it was. Any other file is a raw link
// stream, which has no clock: every record's time is 0.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "channels.h"
#include "commands.h"
#include "foxglove.h"
#include "hid_report.h"
#include "link_decoder.h"
#include "mcap_file.h"
#include "options.h"
#include "record.h"
#include "run.h"
#include "sbus_frame.h"
#include "view.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace kestrav_tool {
namespace {

struct InspectOptions {
  std::string path;
  Format format = Format::Text;
  std::string serve;
  std::string foxglove;
  bool fast = false;
};

using File = std::unique_ptr<std::FILE, int (*)(std::FILE *)>;

// A raw link stream, from a file or standard input: first the bytes read
// already to tell what the file is, then the rest.
int inspect_raw(const InspectOptions &o, std::FILE *in,
                const std::vector<uint8_t> &first) {
  RecordWriter writer(stdout, o.format, RecordWriter::Kind::Link);
  const std::unique_ptr<LiveView> view =
      serve(o.serve, {"link", o.path, format_name(o.format)}, writer);
  const auto fox = serve_foxglove(
      o.foxglove, {{"link", o.path, "", -1, false, -1}, false, true}, writer);
  LinkDecoder decoder(writer, 0);
  uint8_t buf[4096];
  size_t n;
  std::string why = "the end of the recording";
  const int failed = run_guarded(
      [&] {
        writer.begin(monotonic_seconds());
        // A stream has no clock: its records go out at once, to a
        // subscriber that is there.
        if (fox && !fox->wait_for_subscriber()) throw OutputClosed();
        decoder.feed(first.data(), first.size(), 0.0);
        while ((n = std::fread(buf, 1, sizeof buf, in)) > 0)
          decoder.feed(buf, n, 0.0);
        if (std::ferror(in))
          throw ToolError(o.path + ": read failed: " + system_reason());
      },
      why);
  if (view) view->end(why);
  if (fox) fox->end(why);
  return failed;
}

// The pace of a replay: each record when its t comes, but no wait longer
// than kMaxReplayWait, so that a gap in the file (a device away for a
// day, or a damaged time) cannot hang the replay.
class Pace {
 public:
  // Record time first is due at monotonic start + first.
  explicit Pace(double start, double first = 0) : start_(start), last_(first) {}
  // False when a stop came.
  bool wait(double t) {
    if (t - last_ > kMaxReplayWait) skipped_ += t - last_ - kMaxReplayWait;
    last_ = std::max(last_, t);
    return sleep_until(start_ + t - skipped_);
  }
  static constexpr double kMaxReplayWait = 5.0;

 private:
  double start_;
  double last_;
  double skipped_ = 0;  // seconds of gaps not waited out
};

// An MCAP recording, played at its recorded pace into a live view, or as
// fast as it reads.
int inspect_mcap(const InspectOptions &o, std::FILE *file) {
  std::unique_ptr<RecordWriter> writer;
  std::unique_ptr<LiveView> view;
  std::unique_ptr<FoxgloveServer> fox;
  std::unique_ptr<LinkDecoder> link;
  SbusScanner scanner;
  RecordingInfo info;
  uint64_t n = 0;
  const double start = monotonic_seconds();
  Pace pace(start);
  const bool paced = (!o.serve.empty() || !o.foxglove.empty()) && !o.fast;
  bool waited = false;  // for a live source's first subscriber
  std::string why = "the end of the recording";
  const int failed = run_guarded(
      [&] {
        read_mcap_recording(
            o.path, file,
            [&](const RecordingInfo &recorded) {
              info = recorded;
              writer = std::make_unique<RecordWriter>(
                  stdout, o.format, record_kind(info.command));
              view = serve(o.serve,
                           {info.command, info.port, format_name(o.format)},
                           *writer);
              fox = serve_foxglove(o.foxglove, {info, false, true}, *writer);
              link = std::make_unique<LinkDecoder>(*writer, 0);
              // The recorded run's start: its log times, as recorded.
              writer->begin(start, info.start_ns);
            },
            [&](double t, const uint8_t *data, size_t size) {
              if (fox && !waited) {  // nothing is played to nobody
                if (!fox->wait_for_subscriber()) throw OutputClosed();
                waited = true;
                pace = Pace(monotonic_seconds() - t, t);
              }
              if (paced && !pace.wait(t)) throw OutputClosed();
              if (info.command == "link") {
                if (size == 0) link->restart();
                link->feed(data, size, t);
              } else if (info.command == "sbus-monitor") {
                if (size == 0) scanner.restart();
                scanner.feed(data, size, [&](const uint8_t *frame) {
                  const SbusFields f = decode_sbus(frame);
                  writer->sbus_record(t, ++n, f.channels.data(), f.flags,
                                      f.end);
                });
              } else if (info.command == "sbus") {
                if (size != kSbusFrameSize) return;
                const SbusFields f = decode_sbus(data);
                writer->sbus_record(t, ++n, f.channels.data(), f.flags, f.end);
              } else {
                const HidReport r = take_hid_report(data, size, -1);
                if (r.kind == HidReport::Kind::Decoded)
                  writer->hid_record(t, ++n, r.values.data());
              }
            });
        if (stop_requested()) why = end_reason(ReadStatus::Stopped);
      },
      why);
  if (view) view->end(why);
  if (fox) fox->end(why);
  return failed;
}

// Opens FILE and tells a recording from a stream by its first bytes,
// read once: a pipe (/dev/stdin) cannot give them back.
int inspect(const InspectOptions &o) {
  if (o.path == "-") {
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    return inspect_raw(o, stdin, {});
  }
  File file(std::fopen(o.path.c_str(), "rb"), std::fclose);
  if (!file)
    throw ToolError(o.path + ": cannot open the file: " + system_reason());
  std::vector<uint8_t> first(mcap_magic_size());
  first.resize(std::fread(first.data(), 1, first.size(), file.get()));
  if (!is_mcap_magic(first.data(), first.size()))
    return inspect_raw(o, file.get(), first);
  if (std::fseek(file.get(), 0, SEEK_SET) != 0)
    throw ToolError(o.path +
                    ": an MCAP recording, but not in a file that can be read "
                    "again from its start (a pipe?); give the file itself");
  return inspect_mcap(o, file.get());
}

int run(int argc, char **argv) {
  InspectOptions o;
  OptionParser p{"inspect",
                 {{"format", required_argument, nullptr, 'f'},
                  {"fast", no_argument, nullptr, 'F'},
                  kServeOption,
                  kFoxgloveOption}};
  const int first = p.parse(argc, argv, [&](int c, const char *arg) {
    if (c == 'f') o.format = parse_format(arg);
    if (c == 'F') o.fast = true;
    if (c == kServeOption.val) {
      check_serve_address(arg);
      o.serve = arg;
    }
    if (c == kFoxgloveOption.val) {
      check_serve_address(arg, "--foxglove");
      o.foxglove = arg;
    }
  });
  if (first != argc - 1) throw UsageError("inspect takes exactly one FILE");
  o.path = argv[first];
  install_stop_handlers();
  return inspect(o);
}

}  // namespace

const Command kInspectCommand = {
    "inspect", run, "decode a recording",
    "usage: kestrav inspect FILE [options]\n"
    "\n"
    "Decodes a recording and prints the records of the command that made\n"
    "it. An MCAP recording (--record FILE.mcap of link, sbus-monitor, hid\n"
    "or sbus) is replayed through the same decoder, each record with the\n"
    "time it had in the run. Any other file is a link stream, recorded with\n"
    "`kestrav link --record` or captured elsewhere: it has no clock, and\n"
    "every record's time is 0. FILE - reads standard input (a link stream).\n"
    "\n"
    "  --format F        text, csv, jsonl or none (default text)\n"
    "  --serve ADDR      play the recording into the live view in a browser\n"
    "                    on [HOST:]PORT, at its recorded pace (a gap of\n"
    "                    more than 5 s is waited out as 5 s)\n"
    "  --foxglove ADDR   play an MCAP recording to the tools that open MCAP\n"
    "                    over the Foxglove WebSocket protocol, on\n"
    "                    [HOST:]PORT, once a client subscribes, at its\n"
    "                    recorded pace and with its recorded times\n"
    "  --fast            with --serve or --foxglove: as fast as it reads\n"
    "  --help            this text\n"};

}  // namespace kestrav_tool
