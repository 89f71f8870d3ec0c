// Records: one encoder per record kind (link port data, SBUS frames, HID
// reports), which makes each record's text, CSV and jsonl forms, and the
// sinks that take them. Standard output, the live view's tap, a raw
// recording and an MCAP recording are all sinks of one RecordWriter, so
// they can never disagree about a record.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "options.h"

namespace kestrav_tool {

enum class RecordKind { Link, Sbus, Hid };

// One record in the forms its sinks asked for (the others are empty).
struct EncodedRecord {
  RecordKind kind;
  double t;    // seconds since the run's start
  uint64_t n;  // the record's number, from 1
  std::string text, csv, jsonl;
};

class RecordSink {
 public:
  virtual ~RecordSink() = default;
  // Whether it needs this form of every record.
  virtual bool wants(Format form) const = 0;
  // The run starts: start is its monotonic_seconds(), from which every t
  // counts, and start_ns the wall clock then (ns since the Unix epoch),
  // from which every log time counts.
  virtual void begin(RecordKind, double /*start*/, int64_t /*start_ns*/) {}
  virtual void record(const EncodedRecord &r) = 0;
  // Bytes as they were received (or, for sbus, sent) at t. n == 0 marks a
  // new connection: a new stream starts there.
  virtual void raw(double /*t*/, const uint8_t * /*data*/, size_t /*n*/) {}
  // Finishes the output; a failure is a ToolError with the reason.
  virtual void close() {}
};

// Hands every record to its sinks. A failed write throws: OutputClosed for
// a closed standard output, ToolError with the reason for anything else.
class RecordWriter {
 public:
  using Kind = RecordKind;
  // Standard output in format (none: no records there) is the first sink.
  RecordWriter(std::FILE *out, Format format, Kind kind);
  ~RecordWriter();
  void add_sink(std::unique_ptr<RecordSink> sink);
  // The live view: every record's jsonl line, without its line end.
  void set_tap(std::function<void(const std::string &)> tap);
  // Starts the run: the CSV header, even if no record follows. start_ns is
  // the wall clock at start, or -1 for now's; a replay gives the recorded
  // run's, so that its log times are the recorded ones.
  void begin(double start, int64_t start_ns = -1);
  // Port data records: the host's two blocks after frame n.
  void link_record(double t, uint64_t n, const uint16_t *block15,
                   const uint16_t *block32);
  // SBUS records: the sixteen channels, the four flags and the end byte.
  void sbus_record(double t, uint64_t n, const uint16_t *channels,
                   uint8_t flags, uint8_t end);
  // HID records: the eleven values of one report.
  void hid_record(double t, uint64_t n, const uint16_t *values);
  void raw(double t, const uint8_t *data, size_t n);
  // Closes every sink, checked.
  void close();

 private:
  void deliver(const EncodedRecord &r);
  Kind kind_;
  std::vector<std::unique_ptr<RecordSink>> sinks_;
  bool text_ = false, csv_ = false, jsonl_ = false;  // what sinks want
};

// Closes the sinks at the end of a run, however it ended, so that a
// recording gets its summary and index; a failure is reported as
// run_guarded reports one and gives 1.
int close_records(RecordWriter &writer, std::string &why);

// "v0,v1,...": values joined by sep.
std::string join_values(const char *sep, const uint16_t *values, size_t n);

// What a recording says of the run it comes from.
struct RecordingInfo {
  std::string command;     // "link", "sbus-monitor", "hid" or "sbus"
  std::string port;        // the PORT or DEVICE
  std::string line;        // its line settings ("115200 8N1"), or a device's
  int report_id = -1;      // hid --report-id, or -1
  bool compressed = true;  // an MCAP recording's chunks in zstd
  int64_t start_ns = -1;   // a recording's start (ns since the Unix epoch)
};

// --record FILE: an MCAP recording when FILE ends in ".mcap", else every
// byte as received, unchanged. Opened now, so that a bad path fails before
// the port is touched; an existing file is overwritten. A FIFO waits for
// its reader until the run's deadline (a monotonic_seconds() value,
// negative for none) or a stop: then EndedWhileWaiting.
std::unique_ptr<RecordSink> open_record_file(const std::string &path,
                                             const RecordingInfo &info,
                                             double deadline);

}  // namespace kestrav_tool
