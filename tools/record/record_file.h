// A file a recording goes to, with every write, flush and close checked:
// a failure (a full disk) is a ToolError naming the file and the reason.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kestrav_tool {

class RecordFile {
 public:
  // Creates path now; a failure is a ToolError.
  explicit RecordFile(const std::string &path);
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

}  // namespace kestrav_tool
