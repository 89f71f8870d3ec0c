// kestrav hid: reads a HID game-controller device (or a recording of one)
// and prints the eleven values of every report, or, with --sbus-map, one
// line of sixteen SBUS values a report for `kestrav sbus --input -`.
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "foxglove.h"
#include "hid_report.h"
#include "options.h"
#include "port.h"
#include "record.h"
#include "record_file.h"
#include "run.h"
#include "view.h"

namespace kestrav_tool {
namespace {

struct HidOptions {
  std::string device;
  Format format = Format::Text;
  RunLimits limits;
  std::string record;
  int report_id = -1;  // -1: every report
  bool mapping = false;
  SbusMap map;
};

HidOptions parse(int argc, char **argv) {
  HidOptions o;
  OptionParser p{"hid",
                 {{"format", required_argument, nullptr, 'f'},
                  kCountOption,
                  kSecondsOption,
                  {"record", required_argument, nullptr, 'o'},
                  {"report-id", required_argument, nullptr, 'i'},
                  {"sbus-map", required_argument, nullptr, 'm'},
                  kReconnectOption,
                  kServeOption,
                  kRecordCompressionOption,
                  kFoxgloveOption}};
  const int first = p.parse(argc, argv, [&](int c, const char *arg) {
    if (o.limits.take(c, arg)) return;
    switch (c) {
      case 'f':
        o.format = parse_format(arg);
        break;
      case 'o':
        o.record = arg;
        break;
      case 'i':
        o.report_id = static_cast<int>(parse_number(arg, 255, "--report-id"));
        break;
      case 'm': {
        const std::string why = parse_sbus_map(arg, o.map);
        if (!why.empty()) throw UsageError("--sbus-map: " + why);
        o.mapping = true;
        break;
      }
    }
  });
  if (first != argc - 1) throw UsageError("hid takes exactly one DEVICE");
  o.device = argv[first];
  return o;
}

// Everything a run counts, for the line at its end.
struct Tally {
  uint64_t decoded = 0;
  uint64_t other_id = 0;
  std::map<size_t, uint64_t> lengths;  // skipped reports by length
};

// One line of sixteen values, flushed at once: a pipe must never hold a
// servo command back.
void print_channels(const Channels &channels) {
  errno = 0;
  const std::string line =
      join_values(",", channels.data(), channels.size()) + "\n";
  std::fputs(line.c_str(), stdout);
  flush_output(stdout);
}

int run(int argc, char **argv) {
  const HidOptions o = parse(argc, argv);
  install_stop_handlers();
  // With --sbus-map, standard output carries the SBUS lines instead.
  const Format format = o.mapping ? Format::None : o.format;
  RecordWriter writer(stdout, format, RecordWriter::Kind::Hid);
  const std::unique_ptr<LiveView> view =
      serve(o.limits.serve, {"hid", o.device, format_name(format)}, writer);
  HidSource source;
  source.port = open_at_start(
      o.device,
      [&] {
        HidSource opened = open_hid(o.device);
        source.recording = opened.recording;
        source.description = opened.description;
        return std::move(opened.port);
      },
      o.limits.reconnect, o.limits.deadline(monotonic_seconds()));
  // Ctrl-C while a FIFO waited for its writer, or the device for its plug.
  if (!source.port) return 0;
  if (source.recording && o.device != "-") refuse_mcap_capture(o.device);
  if (!source.description.empty())
    say("%s: %s", o.device.c_str(), source.description.c_str());
  // A device's bus, VID:PID and name stand for its line settings.
  const RecordingInfo info{"hid", o.device, source.description, o.report_id,
                           o.limits.compress_records};
  writer.add_sink(
      open_record_file(o.record, info, o.limits.deadline(monotonic_seconds())));
  const auto fox = serve_foxglove(o.limits.foxglove, {info, false}, writer);
  const bool recording = source.recording;

  Tally tally;
  const double start = monotonic_seconds();
  const double deadline = o.limits.deadline(start);
  auto more = [&] {
    return o.limits.count == 0 || tally.decoded < o.limits.count;
  };
  // One report: decoded whole or skipped whole, never in part.
  auto take = [&](const uint8_t *data, size_t n) {
    const HidReport report = take_hid_report(data, n, o.report_id);
    if (report.kind == HidReport::Kind::BadLength) {
      if (tally.lengths[n]++ == 0)
        say("skipping reports of %u bytes (17, or 18 with a report ID first, "
            "are decoded)",
            static_cast<unsigned>(n));
      return;
    }
    if (report.kind == HidReport::Kind::OtherId) {
      ++tally.other_id;
      return;
    }
    ++tally.decoded;
    const double t = monotonic_seconds() - start;
    writer.raw(t, report.body, kHidReportSize);  // the report, decoded or not
    if (o.mapping) print_channels(apply_sbus_map(o.map, report.values));
    writer.hid_record(t, tally.decoded, report.values.data());
  };

  int status = 0;
  std::string why;  // for the view, when it is not the last read's status
  ReadStatus r = ReadStatus::Data;
  std::vector<uint8_t> pending;  // a recording's bytes short of a report
  const int failed = run_guarded(
      [&] {
        writer.begin(start);
        uint8_t buf[4096];
        while (more()) {
          size_t got = 0;
          r = read_until(*source.port, buf, sizeof buf, got, deadline,
                         !recording);
          if (r == ReadStatus::Closed && !recording && o.limits.reconnect) {
            reconnect(
                source.port, o.device, [&] { return open_hid(o.device).port; },
                deadline);
            if (!source.port) {  // the run ended while it was away
              r = stop_requested() ? ReadStatus::Stopped : ReadStatus::Timeout;
              break;
            }
            continue;
          }
          if (r == ReadStatus::Closed && recording)
            why = "the end of the recording";
          if (r != ReadStatus::Data) {
            // The end of a recording is a normal end; a device that went away
            // is not.
            status = r == ReadStatus::Closed && !recording ? 1 : 0;
            break;
          }
          if (!recording) {
            take(buf, got);
            continue;
          }
          pending.insert(pending.end(), buf, buf + got);
          size_t at = 0;
          for (; pending.size() - at >= kHidReportSize && more();
               at += kHidReportSize)
            take(pending.data() + at, kHidReportSize);
          pending.erase(pending.begin(),
                        pending.begin() + static_cast<long>(at));
        }
        // A recording that ends inside a report: that report is skipped.
        if (more() && !pending.empty()) take(pending.data(), pending.size());
      },
      why);
  if (failed != 0) status = 1;
  if (close_records(writer, why) != 0) status = 1;
  const std::string reason = why.empty() ? end_reason(r) : why;
  if (view) view->end(reason);
  if (fox) fox->end(reason);
  std::string skipped;
  for (const auto &length : tally.lengths)
    skipped += ", " + std::to_string(length.second) + " of " +
               std::to_string(length.first) + " bytes";
  if (tally.other_id > 0)
    skipped += ", " + std::to_string(tally.other_id) + " with another ID";
  say("%llu reports decoded%s%s",
      static_cast<unsigned long long>(tally.decoded),
      skipped.empty() ? "" : "; skipped", skipped.c_str());
  return status;
}

}  // namespace

const Command kHidCommand = {
    "hid", run, "read a HID game controller and print its values",
    "usage: kestrav hid DEVICE [options]\n"
    "\n"
    "Reads the reports of a HID game controller and prints one record per\n"
    "report: the time, the report's number and its eleven values, decoded\n"
    "by the library. A 17-byte report is decoded as it is; an 18-byte one\n"
    "from its second byte, its first being the report ID. A report of any\n"
    "other length is skipped whole and counted.\n"
    "\n"
    "DEVICE: a hidraw node (/dev/hidraw0) on Linux; on Windows a device\n"
    "path as `kestrav ports` prints it, or VID:PID in hex. A regular file,\n"
    "a FIFO or - (standard input) is a recording: 17-byte reports back to\n"
    "back, as --record writes them.\n"
    "\n"
    "  --format F        text, csv, jsonl or none (default text)\n"
    "  --count N         stop after N reports (0: no limit)\n"
    "  --seconds S       stop after S seconds\n"
    "  --record FILE     also write every report decoded, 17 bytes each;\n"
    "                    FILE.mcap holds them and the records with their\n"
    "                    times; an existing FILE is overwritten\n"
    "  --record-compression C\n"
    "                    an MCAP recording's chunks: zstd (the default) or\n"
    "                    none\n"
    "  --report-id N     keep only the reports with ID N (0: unnumbered)\n"
    "  --sbus-map MAP    instead of records, print a line of 16 SBUS values\n"
    "                    a report, for `kestrav sbus PORT --input -`. MAP is\n"
    "                    comma-separated; entry k sets channel k: N (value N\n"
    "                    scaled from its full range onto 172 to 1811), ~N\n"
    "                    (the same, inverted), c (992) or =V (0 to 2047);\n"
    "                    channels past the list are centred (992)\n"
    "  --reconnect       when the device goes away, open it again every\n"
    "                    0.5 s\n"
    "  --serve ADDR      live view in a browser on [HOST:]PORT (HOST\n"
    "                    127.0.0.1 unless given; PORT 0 picks a free one)\n"
    "  --foxglove ADDR   a live source for the tools that open MCAP, over\n"
    "                    the Foxglove WebSocket protocol, on [HOST:]PORT\n"
    "  --help            this text\n"};

}  // namespace kestrav_tool
