// kestrav link: the host's side of the device link over a real port.
//
// Sends the upload request, decodes what the device streams back, prints one
// record per port data frame, and on every way out sends the stop frame,
// drains the output and puts the port's settings back.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Kestrav.h"
#include "commands.h"
#include "foxglove.h"
#include "link_decoder.h"
#include "options.h"
#include "port.h"
#include "record.h"
#include "run.h"
#include "view.h"

namespace kestrav_tool {
namespace {

constexpr size_t kRequestFrameSize = 7;
constexpr size_t kStopFrameSize = 5;

struct LinkOptions {
  std::string port;
  LineSettings line;
  uint8_t request[2] = {1, 0};
  Format format = Format::Text;
  std::string record;
  RunLimits limits;
};

LinkOptions parse(int argc, char **argv) {
  LinkOptions o;
  // --request takes two values, which getopt cannot: join them into one
  // argument first, so that options and the PORT may come in any order.
  std::vector<std::string> joined;
  for (int k = 0; k < argc; ++k) {
    if (std::strcmp(argv[k], "--request") == 0) {
      if (k + 2 >= argc) throw UsageError("--request takes two bytes");
      joined.push_back(std::string("--request=") + argv[k + 1] + " " +
                       argv[k + 2]);
      k += 2;
    } else {
      joined.push_back(argv[k]);
    }
  }
  std::vector<char *> args;
  for (std::string &a : joined) args.push_back(&a[0]);
  argc = static_cast<int>(args.size());
  argv = args.data();
  OptionParser p{"link",
                 {{"baud", required_argument, nullptr, 'b'},
                  {"request", required_argument, nullptr, 'r'},
                  {"format", required_argument, nullptr, 'f'},
                  {"record", required_argument, nullptr, 'o'},
                  kCountOption,
                  kSecondsOption,
                  kReconnectOption,
                  kServeOption,
                  kRecordCompressionOption,
                  kFoxgloveOption}};
  const int next_operand = p.parse(argc, argv, [&](int c, const char *arg) {
    if (o.limits.take(c, arg)) return;
    switch (c) {
      case 'b':
        o.line.baud =
            static_cast<uint32_t>(parse_number(arg, 4000000, "--baud"));
        if (o.line.baud == 0) throw UsageError("--baud must not be 0");
        break;
      case 'r': {
        const std::string both = arg;
        const size_t space = both.find(' ');
        if (space == std::string::npos)
          throw UsageError("--request takes two bytes");
        o.request[0] = static_cast<uint8_t>(
            parse_number(both.substr(0, space).c_str(), 255, "--request"));
        o.request[1] = static_cast<uint8_t>(
            parse_number(both.substr(space + 1).c_str(), 255, "--request"));
        break;
      }
      case 'f':
        o.format = parse_format(arg);
        break;
      case 'o':
        o.record = arg;
        break;
    }
  });
  if (next_operand != argc - 1) throw UsageError("link takes exactly one PORT");
  o.port = argv[next_operand];
  check_address(o.port, false);
  return o;
}

// Sends the stop frame and drains it; reports a failure only when nothing
// else went wrong before.
void send_stop(Port &port, int &status) {
  uint8_t frame[kStopFrameSize];
  stop_upload_port_data(frame);
  try {
    port.write(frame, sizeof frame);
    port.drain();
  } catch (const PortError &e) {
    if (status == 0) {
      say("%s", e.what());
      status = 1;
    }
  }
}

// A request that no port data answers within this time is sent again. A
// second request is safe: a device that already uploads takes it as the
// first (the library, reading such a frame in a stream, passes over it).
// It can be lost where the device's bytes are echoed back to it while a
// port opens, or in an adapter's first moments after a replug.
constexpr double kAnswerSeconds = 2.0;

void send_request(Port &port, const LinkOptions &o) {
  uint8_t request[kRequestFrameSize];
  request_upload_port_data(request, o.request[0], o.request[1]);
  port.write(request, sizeof request);
}

int run(int argc, char **argv) {
  const LinkOptions o = parse(argc, argv);
  install_stop_handlers();
  RecordWriter writer(stdout, o.format, RecordWriter::Kind::Link);
  const std::unique_ptr<LiveView> view =
      serve(o.limits.serve, {"link", o.port, format_name(o.format)}, writer);
  const RecordingInfo info{"link", o.port, line_text(o.port, o.line), -1,
                           o.limits.compress_records};
  writer.add_sink(
      open_record_file(o.record, info, o.limits.deadline(monotonic_seconds())));
  const auto fox = serve_foxglove(o.limits.foxglove, {info, false}, writer);
  // The run's limits count from here, a wait for the port included.
  const double start = monotonic_seconds();
  const double deadline = o.limits.deadline(start);
  std::unique_ptr<Port> port = open_at_start(
      o.port, [&] { return open_port(o.port, o.line); }, o.limits.reconnect,
      deadline);
  if (!port) return 0;  // the run ended while it waited

  LinkDecoder decoder(writer, o.limits.count);
  int status = 0;
  std::string why;  // for the view, when it is not the last read's status
  ReadStatus r = ReadStatus::Data;
  bool unanswered = false;  // a request went 2 s without port data
  const int failed = run_guarded(
      [&] {
        writer.begin(start);
        bool request = true;
        // When the request went out, while no port data has answered it.
        double asked = -1;
        uint64_t frames_before = 0;
        bool told = false;  // said so for this quiet spell
        uint8_t buf[4096];
        for (;;) {
          if (!port) {
            reconnect(port, o.port, o.line, deadline);
            if (!port) {  // the run ended while the port was away
              r = stop_requested() ? ReadStatus::Stopped : ReadStatus::Timeout;
              break;
            }
            decoder.restart();  // no byte of the old stream in a record
            writer.raw(monotonic_seconds() - start, nullptr, 0);
            request = true;  // record numbers carry on
          }
          if (request) {
            try {
              send_request(*port, o);
            } catch (const PortGone &) {
              if (!o.limits.reconnect) throw;
              port.reset();
              continue;
            }
            request = false;
            asked = monotonic_seconds();
            frames_before = decoder.frames();
          }
          const double answer_due = asked + kAnswerSeconds;
          const bool timed =
              asked >= 0 && (deadline < 0 || answer_due < deadline);
          size_t got = 0;
          r = read_until(*port, buf, sizeof buf, got,
                         timed ? answer_due : deadline);
          if (r == ReadStatus::Timeout && timed) {
            if (!told)
              say("%s: no port data %.0f s after the request; sending it "
                  "again every %.0f s until some comes",
                  o.port.c_str(), kAnswerSeconds, kAnswerSeconds);
            told = unanswered = true;
            request = true;
            continue;
          }
          if (r == ReadStatus::Closed && o.limits.reconnect) {
            port.reset();
            continue;
          }
          if (r != ReadStatus::Data) {
            status = r == ReadStatus::Closed ? 1 : 0;
            break;
          }
          const double t = monotonic_seconds() - start;
          if (!decoder.take(buf, got, t)) break;
          if (decoder.frames() != frames_before) {
            asked = -1;  // answered
            told = false;
          }
        }
      },
      why);
  if (failed != 0) status = 1;
  if (close_records(writer, why) != 0) status = 1;
  // A device that never answered: a run that got nothing is no success.
  if (status == 0 && unanswered && decoder.frames() == 0) {
    std::string host, tcp_port;
    const std::string speed =
        split_tcp(o.port, host, tcp_port)
            ? "the bridge's serial speed"
            : "the speed (--baud, now " + std::to_string(o.line.baud) + ")";
    say("%s: no port data came in the whole run; check %s, the wiring (the "
        "device's TX to the adapter's RX, and a common ground) and the "
        "request bytes (--request, now %u %u)",
        o.port.c_str(), speed.c_str(), static_cast<unsigned>(o.request[0]),
        static_cast<unsigned>(o.request[1]));
    status = 1;
  }
  if (port) send_stop(*port, status);
  const std::string reason = why.empty() ? end_reason(r) : why;
  if (view) view->end(reason);
  if (fox) fox->end(reason);
  return status;  // the port's settings come back as it goes
}

}  // namespace

const Command kLinkCommand = {
    "link", run, "request port data from a device and print it",
    "usage: kestrav link PORT [options]\n"
    "\n"
    "Sends the upload request, prints one record per port data frame the\n"
    "device sends, and sends the stop frame on every way out (count, time,\n"
    "Ctrl-C, SIGTERM, SIGHUP, a closed or full output, the peer leaving).\n"
    "The port is opened for this process alone, put into raw binary mode,\n"
    "8N1, and its settings are restored on exit.\n"
    "\n"
    "PORT: a serial device (/dev/ttyUSB0; COM3 on Windows) or tcp:HOST:PORT\n"
    "\n"
    "  --baud N          serial speed (default 115200)\n"
    "  --request A0 A1   the two request bytes (default 1 0)\n"
    "  --format F        text, csv, jsonl or none (default text)\n"
    "  --record FILE     also write every received byte, unchanged, to FILE;\n"
    "                    FILE.mcap holds the bytes and the records with\n"
    "                    their times; an existing FILE is overwritten\n"
    "  --record-compression C\n"
    "                    an MCAP recording's chunks: zstd (the default) or\n"
    "                    none\n"
    "  --count N         stop after N records (0: no limit)\n"
    "  --seconds S       stop after S seconds\n"
    "  --reconnect       when the port goes away, open it again every 0.5 s\n"
    "                    and request again; record numbers carry on\n"
    "  --serve ADDR      live view in a browser on [HOST:]PORT (HOST\n"
    "                    127.0.0.1 unless given; PORT 0 picks a free one)\n"
    "  --foxglove ADDR   a live source for the tools that open MCAP, over\n"
    "                    the Foxglove WebSocket protocol, on [HOST:]PORT\n"
    "  --help            this text\n"};

}  // namespace kestrav_tool
