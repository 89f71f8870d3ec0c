// kestrav sbus-monitor: reads SBUS with the sender's line settings and
// prints every frame, for checking an adapter in loopback or reading a
// receiver. The decoder lives here, in the tool, not in the library.
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "foxglove.h"
#include "options.h"
#include "port.h"
#include "record.h"
#include "record_file.h"
#include "run.h"
#include "sbus_frame.h"
#include "view.h"

namespace kestrav_tool {
namespace {

int run(int argc, char **argv) {
  Format format = Format::Text;
  RunLimits limits;
  bool warn_speed = false;
  std::string record;
  OptionParser p{"sbus-monitor",
                 {{"format", required_argument, nullptr, 'f'},
                  {"record", required_argument, nullptr, 'o'},
                  kCountOption,
                  kSecondsOption,
                  {"warn-speed", no_argument, nullptr, 'w'},
                  kReconnectOption,
                  kServeOption,
                  kRecordCompressionOption,
                  kFoxgloveOption}};
  const int first = p.parse(argc, argv, [&](int c, const char *arg) {
    if (limits.take(c, arg)) return;
    switch (c) {
      case 'f':
        format = parse_format(arg);
        break;
      case 'w':
        warn_speed = true;
        break;
      case 'o':
        record = arg;
        break;
    }
  });
  if (first != argc - 1)
    throw UsageError("sbus-monitor takes exactly one PORT or FILE");
  const std::string address = argv[first];
  check_address(address, false);
  install_stop_handlers();
  RecordWriter writer(stdout, format, RecordWriter::Kind::Sbus);
  const std::unique_ptr<LiveView> view = serve(
      limits.serve, {"sbus-monitor", address, format_name(format)}, writer);
  const LineSettings line = sbus_line(warn_speed);
  const RecordingInfo info{"sbus-monitor", address, line_text(address, line),
                           -1, limits.compress_records};
  writer.add_sink(
      open_record_file(record, info, limits.deadline(monotonic_seconds())));
  const auto fox = serve_foxglove(limits.foxglove, {info, false}, writer);
  // A raw capture is decoded at once, to its end.
  std::unique_ptr<Port> port = open_capture(address);
  const bool capture = port != nullptr;
  if (capture)
    refuse_mcap_capture(address);
  else
    port = open_at_start(
        address, [&] { return open_port(address, line); }, limits.reconnect,
        limits.deadline(monotonic_seconds()));
  if (!port) return 0;  // the run ended while it waited

  SbusScanner scanner;
  uint64_t frames = 0;
  auto more = [&] { return limits.count == 0 || frames < limits.count; };
  int status = 0;
  std::string why;  // for the view, when it is not the last read's status
  ReadStatus r = ReadStatus::Data;
  const double start = monotonic_seconds();
  uint8_t buf[1024];
  uint64_t skipped_shown = 0;
  const int failed = run_guarded(
      [&] {
        writer.begin(start);
        const double deadline = limits.deadline(start);
        while (more()) {
          size_t got = 0;
          r = read_until(*port, buf, sizeof buf, got, deadline, !capture);
          if (r == ReadStatus::Closed && capture) {
            why = "the end of the recording";
            break;
          }
          if (r == ReadStatus::Closed && limits.reconnect) {
            reconnect(port, address, line, deadline);
            if (!port) {  // the run ended while the port was away
              r = stop_requested() ? ReadStatus::Stopped : ReadStatus::Timeout;
              break;
            }
            scanner.restart();  // no byte of the old stream in a frame
            writer.raw(monotonic_seconds() - start, nullptr, 0);
            continue;
          }
          if (r != ReadStatus::Data) {
            status = r == ReadStatus::Closed ? 1 : 0;
            break;
          }
          const double t = monotonic_seconds() - start;
          // Byte by byte, so that --count stops exactly at its frame; the
          // raw bytes are those the records came from, so that a
          // recording replays exactly the frames the run gave.
          size_t k = 0;
          try {
            for (; k < got && more(); ++k) {
              scanner.feed(buf + k, 1, [&](const uint8_t *frame) {
                const SbusFields f = decode_sbus(frame);
                writer.sbus_record(t, ++frames, f.channels.data(), f.flags,
                                   f.end);
              });
            }
          } catch (const OutputClosed &) {
            writer.raw(t, buf, k);
            throw;
          }
          writer.raw(t, buf, k);
          if (view && scanner.skipped() != skipped_shown) {
            skipped_shown = scanner.skipped();
            view->post_event(
                "skipped",
                "{\"skipped\": " + std::to_string(skipped_shown) + "}");
          }
        }
      },
      why);
  if (failed != 0) status = 1;
  if (close_records(writer, why) != 0) status = 1;
  const std::string reason = why.empty() ? end_reason(r) : why;
  if (view) view->end(reason);
  if (fox) fox->end(reason);
  say("%llu frames decoded, %llu bytes skipped",
      static_cast<unsigned long long>(frames),
      static_cast<unsigned long long>(scanner.skipped()));
  return status;
}

}  // namespace

const Command kSbusMonitorCommand = {
    "sbus-monitor", run, "read SBUS frames from a serial port and print them",
    "usage: kestrav sbus-monitor PORT|FILE [options]\n"
    "\n"
    "Reads SBUS at 100000 baud, 8E2, and prints one record per frame: the\n"
    "time, the frame's number, the 16 channels, ch17, ch18, frame-lost,\n"
    "failsafe and the end byte. A frame is 0x0F, 23 bytes, then an end byte\n"
    "of 00, 04, 14, 24 or 34; anything else moves the search on by one byte.\n"
    "At exit, a summary of the frames decoded and the bytes skipped goes to\n"
    "standard error. A regular FILE is a raw capture (the bytes alone, as\n"
    "--record FILE writes them here and in sbus), decoded at once.\n"
    "\n"
    "  --format F        text, csv, jsonl or none (default text)\n"
    "  --record FILE     also record what arrives: FILE.mcap holds the bytes\n"
    "                    and the frames with their times; any other name,\n"
    "                    the bytes alone, unchanged; an existing FILE is\n"
    "                    overwritten\n"
    "  --record-compression C\n"
    "                    an MCAP recording's chunks: zstd (the default) or\n"
    "                    none\n"
    "  --count N         stop after N frames (0: no limit)\n"
    "  --seconds S       stop after S seconds\n"
    "  --warn-speed      only warn if the port does not keep 100000 8E2\n"
    "  --reconnect       when the port goes away, open it again every 0.5 s\n"
    "  --serve ADDR      live view in a browser on [HOST:]PORT (HOST\n"
    "                    127.0.0.1 unless given; PORT 0 picks a free one)\n"
    "  --foxglove ADDR   a live source for the tools that open MCAP, over\n"
    "                    the Foxglove WebSocket protocol, on [HOST:]PORT\n"
    "  --help            this text\n"};

}  // namespace kestrav_tool
