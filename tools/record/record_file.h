// A file a recording goes to, with every write, flush and close checked:
// a failure (a full disk) is a ToolError naming the file and the reason.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kestrav_tool {

class RecordFile {
 public:
  // Creates path now, or empties it (an existing file is overwritten); a
  // failure is a ToolError. A FIFO is opened once a reader opens it, and
  // waited for within the run's limits: a stop, or deadline (a
  // monotonic_seconds() value, negative for none), throws EndedWhileWaiting.
  RecordFile(const std::string &path, double deadline);
  ~RecordFile();  // closes, unchecked, after an error
  RecordFile(const RecordFile &) = delete;
  RecordFile &operator=(const RecordFile &) = delete;
  void write(const void *data, size_t n);
  void flush();
  // Flushes and asks the system to put what was written on the disk, so
  // that a power loss keeps it too.
  void sync();
  void close();
  const std::string &path() const { return path_; }

 private:
  [[noreturn]] void fail(const char *what) const;
  std::string path_;
  std::FILE *file_ = nullptr;
};

// A regular file that is an MCAP recording: given to a command that reads
// raw captures (hid FILE, sbus-monitor FILE), it is refused with a
// ToolError that names inspect, instead of being decoded as raw bytes.
void refuse_mcap_capture(const std::string &path);

}  // namespace kestrav_tool
