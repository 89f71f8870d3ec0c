#include "record_file.h"

#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <vector>

#include "mcap_file.h"
#include "options.h"
#include "port.h"
#include "record.h"

namespace kestrav_tool {

namespace {

#if !defined(_WIN32)
// How often a FIFO with no reader yet is tried again.
constexpr double kFifoRetrySeconds = 0.05;

bool is_fifo(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}
#endif

}  // namespace

RecordFile::RecordFile(const std::string &path, double deadline) : path_(path) {
#if !defined(_WIN32)
  if (is_fifo(path)) {
    // A plain open would block until a reader comes, past every limit of
    // the run and deaf to a stop. Without blocking it fails with ENXIO
    // while no reader is there.
    int fd;
    while ((fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
      if (errno != ENXIO && errno != EINTR) fail("open");
      const double now = monotonic_seconds();
      if (deadline >= 0 && now >= deadline) throw EndedWhileWaiting();
      const double next = now + kFifoRetrySeconds;
      if (!sleep_until(deadline >= 0 ? std::min(next, deadline) : next))
        throw EndedWhileWaiting();
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    file_ = fdopen(fd, "wb");
    if (file_ == nullptr) {
      ::close(fd);
      fail("open");
    }
    return;
  }
#else
  (void)deadline;
#endif
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) fail("create");
}

RecordFile::~RecordFile() {
  if (file_ != nullptr) std::fclose(file_);
}

void RecordFile::fail(const char *what) const {
  throw ToolError(path_ + ": cannot " + what +
                  " the record file: " + system_reason());
}

void RecordFile::write(const void *data, size_t n) {
  if (file_ != nullptr && std::fwrite(data, 1, n, file_) != n) fail("write");
}

void RecordFile::flush() {
  if (file_ != nullptr && std::fflush(file_) != 0) fail("write");
}

void RecordFile::sync() {
  flush();
  if (file_ == nullptr) return;
#if defined(_WIN32)
  if (_commit(_fileno(file_)) != 0) fail("write");
#else
  if (fdatasync(fileno(file_)) != 0 && errno != EINVAL) fail("write");
#endif
}

void RecordFile::close() {
  std::FILE *file = file_;
  file_ = nullptr;
  if (file != nullptr && std::fclose(file) != 0) fail("close");
}

namespace {

// Every byte received, unchanged, flushed as it comes: the recording of
// old, which any tool can read, with no clock.
class RawFileSink : public RecordSink {
 public:
  RawFileSink(const std::string &path, double deadline)
      : file_(path, deadline) {}
  bool wants(Format) const override { return false; }
  void record(const EncodedRecord &) override {}
  void raw(double, const uint8_t *data, size_t n) override {
    if (n == 0) return;
    file_.write(data, n);
    file_.flush();
  }
  void close() override { file_.close(); }

 private:
  RecordFile file_;
};

bool ends_with(const std::string &s, const std::string &end) {
  return s.size() >= end.size() &&
         s.compare(s.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

std::unique_ptr<RecordSink> open_record_file(const std::string &path,
                                             const RecordingInfo &info,
                                             double deadline) {
  if (path.empty()) return nullptr;
  if (ends_with(path, ".mcap"))
    return open_mcap_recording(path, info, deadline);
  return std::make_unique<RawFileSink>(path, deadline);
}

void refuse_mcap_capture(const std::string &path) {
  // Only a regular file: opening a FIFO here would wait for its writer.
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return;  // the command's own open names the reason
  std::vector<uint8_t> first(mcap_magic_size());
  const size_t n = std::fread(first.data(), 1, first.size(), f);
  std::fclose(f);
  if (is_mcap_magic(first.data(), n))
    throw ToolError(path +
                    ": an MCAP recording, not raw bytes: 'kestrav inspect " +
                    path + "' replays it");
}

}  // namespace kestrav_tool
