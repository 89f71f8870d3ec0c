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
  std::string path;  // "-" for standard input
  std::string name() const { return path == "-" ? "standard input" : path; }
  Format format = Format::Text;
  std::string serve;
  std::string foxglove;
  bool fast = false;
};

using File = std::unique_ptr<std::FILE, int (*)(std::FILE *)>;

// A replay waits for its audience: the first subscriber of a live source,
// the first page of a live view (whose address must be pasted first).
// False for a stop.
bool wait_for_audience(FoxgloveServer *fox, LiveView *view) {
  return (!fox || fox->wait_for_subscriber()) &&
         (!view || view->wait_for_page());
}

// Once a recording has been played, its page keeps what it shows until a
// stop: the view's server is not taken from under it.
void keep_page(LiveView *view, const std::string &why) {
  if (!view || stop_requested()) return;
  view->announce_end(why);
  say("the recording has been played; the page stays until Ctrl-C");
  while (sleep_until(monotonic_seconds() + 3600)) {
  }
}

// Bytes in which the link decoder found no frame: most likely a file of
// another kind, named so that the user can give it to the right command.
std::string no_frame_line(const InspectOptions &o, uint64_t size,
                          uint64_t sbus_frames) {
  // sbus-monitor reads a capture from a file, not from standard input.
  const std::string path = o.path == "-" ? "FILE" : o.path;
  std::string line = o.name() + ": " + std::to_string(size) +
                     " bytes and no port data frame in them: not a link "
                     "stream, nor an MCAP recording (--record FILE.mcap "
                     "makes one)";
  if (sbus_frames > 0)
    return line + "; it holds " + std::to_string(sbus_frames) +
           " SBUS frames: 'kestrav sbus-monitor " + path + "' decodes them";
  return line +
         "; 'kestrav sbus-monitor FILE' decodes raw SBUS bytes, "
         "'kestrav hid FILE' HID reports";
}

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
  SbusScanner sbus;  // to name what the bytes are, if not a link stream
  uint64_t size = 0, sbus_frames = 0;
  const auto feed = [&](const uint8_t *data, size_t n) {
    decoder.feed(data, n, 0.0);
    size += n;
    if (decoder.frames() == 0)
      sbus.feed(data, n, [&](const uint8_t *) { ++sbus_frames; });
  };
  uint8_t buf[4096];
  size_t n;
  std::string why = "the end of the recording";
  int failed = run_guarded(
      [&] {
        writer.begin(monotonic_seconds());
        // A stream has no clock: its records go out at once, to an
        // audience that is there.
        if (!wait_for_audience(fox.get(), view.get())) throw OutputClosed();
        feed(first.data(), first.size());
        while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) feed(buf, n);
        if (std::ferror(in))
          throw ToolError(o.name() + ": read failed: " + system_reason());
        if (size > 0 && decoder.frames() == 0)
          throw ToolError(no_frame_line(o, size, sbus_frames));
        keep_page(view.get(), why);
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
  bool waited = false;  // for the first subscriber or page
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
              if (!waited) {  // nothing is played to nobody
                if (!wait_for_audience(fox.get(), view.get()))
                  throw OutputClosed();
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
        keep_page(view.get(), why);
      },
      why);
  if (view) view->end(why);
  if (fox) fox->end(why);
  return failed;
}

// Opens FILE and tells a recording from a stream by its first bytes,
// read once: a pipe cannot give them back, and an MCAP recording is read
// from its start again (its reader checks the magic and seeks).
int inspect(const InspectOptions &o) {
  File file(nullptr, std::fclose);
  std::FILE *in = stdin;
  if (o.path == "-") {
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
#endif
  } else {
    file.reset(std::fopen(o.path.c_str(), "rb"));
    if (!file)
      throw ToolError(o.path + ": cannot open the file: " + system_reason());
    in = file.get();
  }
  std::vector<uint8_t> first(mcap_magic_size());
  first.resize(std::fread(first.data(), 1, first.size(), in));
  if (!is_mcap_magic(first.data(), first.size()))
    return inspect_raw(o, in, first);
  if (!file || std::fseek(in, 0, SEEK_SET) != 0)
    throw ToolError(o.name() +
                    ": an MCAP recording, but not in a file that can be read "
                    "again from its start (a pipe?); give the file itself");
  return inspect_mcap(o, in);
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
    "every record's time is 0. FILE - reads standard input (a link stream;\n"
    "an MCAP recording must be given as a file). Bytes in which no frame is\n"
    "found are refused with a line naming what they may be (status 1); an\n"
    "empty file gives no record.\n"
    "\n"
    "  --format F        text, csv, jsonl or none (default text)\n"
    "  --serve ADDR      play the recording into the live view in a browser\n"
    "                    on [HOST:]PORT once a page opens, at its recorded\n"
    "                    pace (a gap of more than 5 s is waited out as 5 s),\n"
    "                    then keep serving the page until Ctrl-C\n"
    "  --foxglove ADDR   play the recording (MCAP or a link stream) to the\n"
    "                    tools that open MCAP over the Foxglove WebSocket\n"
    "                    protocol, on [HOST:]PORT, once a client subscribes,\n"
    "                    at its recorded pace and with its recorded times\n"
    "  --fast            with --serve or --foxglove: as fast as it reads\n"
    "  --help            this text\n"};

}  // namespace kestrav_tool
