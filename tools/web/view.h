// The live view: `--serve [HOST:]PORT` on link, sbus-monitor, hid and sbus.
//
// An HTTP server on its own threads serves a page (compiled into the tool)
// and streams the run's records to it as Server-Sent Events. The I/O loop
// only posts records into each client's bounded queue and never waits on a
// client: a slow client loses its oldest records and is told how many.
//
// Endpoints: GET / (the page and its assets), GET /events?token=T (hello,
// record, dropped and ended events), and for sbus POST /sbus?token=T. Every
// request must name this server in its Host header (the bound address or
// localhost:PORT) and, if it has an Origin, come from the served origin;
// /events and /sbus also need the token. A refused request changes nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "sbus_frame.h"
#include "serve_address.h"

namespace kestrav_tool {

// What POST /sbus asks the next frame to carry.
struct SbusRequest {
  Channels channels{};
  uint8_t flags = 0;  // kFlagCh17 | kFlagCh18 | kFlagFrameLost | kFlagFailsafe
  double at = 0;      // monotonic_seconds() when it came
};

// A POST /sbus body (or a /sbus/set message of a live source): "" when r
// holds it, else the reason it is refused, one line.
std::string parse_sbus_request(const std::string &body, SbusRequest &r);

class LiveView {
 public:
  struct Setup {
    std::string command;        // "link", for the page and the hello event
    std::string port;           // the PORT or DEVICE
    std::string format;         // the --format of standard output
    bool accepts_sbus = false;  // POST /sbus (the sbus command only)
  };

  // Listens on "[HOST:]PORT" (HOST 127.0.0.1 when left out, PORT 0 picks a
  // free one) and prints "view: http://HOST:PORT/?token=T" on stderr. A bad
  // address is a UsageError; one that cannot be bound, a ToolError.
  LiveView(const std::string &listen, const Setup &setup);
  ~LiveView();  // ends the view (reason "exited") if end was not called
  LiveView(const LiveView &) = delete;
  LiveView &operator=(const LiveView &) = delete;

  // One record, exactly the command's jsonl record without its line end.
  // Never waits on a client.
  void post(const std::string &record);
  // Any other event, with its JSON data (sbus-monitor's skipped bytes).
  void post_event(const char *event, const std::string &data);
  // Tells every client that the run ended and why, lets them take what is
  // queued (for a moment at most), and stops the server.
  void end(const std::string &reason);
  // Tells every client, and every page opened later, that the run ended
  // and why, but keeps serving the page until end (a replay's page stays).
  void announce_end(const std::string &reason);
  // Waits until a page opens its event stream, or a stop; false for a stop.
  bool wait_for_page();
  // POST /sbus: the latest request, if one came since the last call.
  bool take_sbus(SbusRequest &request);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// For a subcommand: null without --serve (listen empty); otherwise starts the
// view and hands it every record that writer writes.
class RecordWriter;
std::unique_ptr<LiveView> serve(const std::string &listen,
                                const LiveView::Setup &setup,
                                RecordWriter &writer);

}  // namespace kestrav_tool
