// A live source for the robotics tools that open MCAP: `--foxglove ADDR`
// serves the run's decoded channel over the Foxglove WebSocket protocol
// (subprotocol foxglove.sdk.v1, or foxglove.websocket.v1), with the same
// topic, schema and metadata as the run's MCAP recording.
//
// On the view's HTTP server: the same exclusive bind, Host check and
// bounds, and a token in the URL's query, compared in constant time,
// before the upgrade. Any Origin is taken: the tools' web apps connect from
// their own, and the token is the guard. At most 16 clients; each has a
// bounded queue that loses its oldest messages (and says how many in a
// status), and a client that takes nothing for a few seconds while
// messages wait is closed. No client holds up the run or its end.
//
// Protocol: serverInfo (name, capabilities, supportedEncodings, metadata,
// sessionId) and advertise on connect; subscribe and unsubscribe per
// client; each record as message data (opcode 1: subscription id, log time
// in ns, the record's jsonl line); status messages for whatever is
// refused. For sbus, clients may advertise "/sbus/set" (json) and publish
// exactly a POST /sbus body to it, which takes effect on the next tick.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "record.h"
#include "view.h"

namespace kestrav_tool {

class FoxgloveServer {
 public:
  struct Setup {
    RecordingInfo info;         // the command, port and line settings
    bool accepts_sbus = false;  // clients may publish on /sbus/set
    // A replay (inspect): nothing live to protect, so a record waits for
    // room in a client's queue instead of pushing its oldest out.
    bool replay = false;
  };
  // Listens on "[HOST:]PORT" as --serve does, and prints
  // "foxglove: ws://HOST:PORT/?token=T" on stderr.
  FoxgloveServer(const std::string &listen, const Setup &setup);
  ~FoxgloveServer();  // ends the source if end was not called
  FoxgloveServer(const FoxgloveServer &) = delete;
  FoxgloveServer &operator=(const FoxgloveServer &) = delete;

  // The run started at start_ns (ns since the Unix epoch): clients get
  // their serverInfo from now on.
  void begin(int64_t start_ns);
  // One record: its jsonl line, at log time log_ns. Never waits, but in a
  // replay, for room (or a client's end, or a stop).
  void post(uint64_t log_ns, const std::string &record);
  // A publish on /sbus/set since the last call, if any.
  bool take_sbus(SbusRequest &request);
  // Waits until some client subscribes, or a stop; false for a stop.
  bool wait_for_subscriber();
  // Closes every client (1001, with the reason) and the server.
  void end(const std::string &reason);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// For a subcommand: null without --foxglove (listen empty); otherwise starts
// the source and makes it a sink of writer.
class RecordWriter;
std::unique_ptr<FoxgloveServer> serve_foxglove(
    const std::string &listen, const FoxgloveServer::Setup &setup,
    RecordWriter &writer);

}  // namespace kestrav_tool
