#include "mcap_file.h"

#define MCAP_IMPLEMENTATION
#define MCAP_COMPRESSION_NO_LZ4
#define MCAP_COMPRESSION_NO_ZSTD
#include <mcap/reader.hpp>
#include <mcap/writer.hpp>

#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>

#if !defined(_WIN32)
#include <sys/utsname.h>
#endif

#include "port.h"
#include "record_file.h"

namespace kestrav_tool {
namespace {

// Chunks are closed at least this often, so that what a crash loses is
// bounded by it; and at this size at most.
constexpr double kChunkSeconds = 0.5;
constexpr uint64_t kChunkBytes = 256 * 1024;
constexpr const char *kRawEncoding = "application/octet-stream";
constexpr const char *kProfile = "kestrav";

struct Topics {
  const char *raw;
  const char *decoded;
  const char *schema_name;
};

Topics topics_of(const std::string &command) {
  if (command == "link")
    return {"/link/raw", "/link/port_data", "kestrav.LinkRecord"};
  if (command == "sbus-monitor")
    return {"/sbus/raw", "/sbus/frame", "kestrav.SbusFrame"};
  if (command == "hid") return {"/hid/raw", "/hid/report", "kestrav.HidReport"};
  return {"/sbus/sent_bytes", "/sbus/sent", "kestrav.SbusFrame"};
}

std::string words_schema(const char *name, int count, int max) {
  return std::string("\"") + name +
         "\": {\"type\": \"array\", \"items\": {\"type\": \"integer\", "
         "\"minimum\": 0, \"maximum\": " +
         std::to_string(max) + "}, \"minItems\": " + std::to_string(count) +
         ", \"maxItems\": " + std::to_string(count) + "}";
}

// The JSON Schema of one record kind's jsonl line.
std::string json_schema(RecordKind kind) {
  std::string props =
      "\"t\": {\"type\": \"number\", \"description\": \"seconds since the "
      "run's start\"}, \"n\": {\"type\": \"integer\", \"minimum\": 1}, ";
  std::string required = "\"t\", \"n\", ";
  if (kind == RecordKind::Link) {
    props += words_schema("block15", 15, 65535) + ", " +
             words_schema("block32", 32, 65535);
    required += "\"block15\", \"block32\"";
  } else if (kind == RecordKind::Sbus) {
    props += words_schema("channels", 16, 2047) +
             ", \"ch17\": {\"type\": \"integer\", \"enum\": [0, 1]}, "
             "\"ch18\": {\"type\": \"integer\", \"enum\": [0, 1]}, "
             "\"frame_lost\": {\"type\": \"boolean\"}, "
             "\"failsafe\": {\"type\": \"boolean\"}, "
             "\"end\": {\"type\": \"integer\", \"minimum\": 0, \"maximum\": "
             "255}";
    required +=
        "\"channels\", \"ch17\", \"ch18\", \"frame_lost\", \"failsafe\", "
        "\"end\"";
  } else {
    props += words_schema("values", 11, 65535);
    required += "\"values\"";
  }
  return "{\"$schema\": \"https://json-schema.org/draft/2020-12/schema\", "
         "\"type\": \"object\", \"properties\": {" +
         props + "}, \"required\": [" + required +
         "], \"additionalProperties\": false}";
}

int64_t wall_ns_now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string utc_text(int64_t ns) {
  const std::time_t seconds = static_cast<std::time_t>(ns / 1000000000);
  std::tm tm{};
#if defined(_WIN32)
  gmtime_s(&tm, &seconds);
#else
  gmtime_r(&seconds, &tm);
#endif
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  char fraction[16];
  std::snprintf(fraction, sizeof fraction, ".%09lldZ",
                static_cast<long long>(ns % 1000000000));
  return std::string(text) + fraction;
}

std::string host_os() {
#if defined(_WIN32)
  return "Windows";
#else
  utsname u{};
  if (uname(&u) != 0) return "POSIX";
  return std::string(u.sysname) + " " + u.release + " " + u.machine;
#endif
}

// The MCAP writer's output: a RecordFile. A failed write is kept, never
// thrown through the MCAP library, and the sink throws it after the call.
class Output : public mcap::IWritable {
 public:
  explicit Output(const std::string &path) : file_(path) {}
  uint64_t size() const override { return size_; }
  void end() override {}
  void flush() override {
    guard([&] { file_.flush(); });
  }
  void sync() {
    guard([&] { file_.sync(); });
  }
  void close() {
    guard([&] { file_.close(); });
  }
  // Throws the first failure, once.
  void check() {
    if (failed_.empty() || reported_) return;
    reported_ = true;
    throw ToolError(failed_);
  }

 protected:
  void handleWrite(const std::byte *data, uint64_t n) override {
    size_ += n;
    guard([&] { file_.write(data, static_cast<size_t>(n)); });
  }

 private:
  template <typename F>
  void guard(F f) {
    if (!failed_.empty()) return;
    try {
      f();
    } catch (const ToolError &e) {
      failed_ = e.what();
    }
  }
  RecordFile file_;
  uint64_t size_ = 0;
  std::string failed_;
  bool reported_ = false;
};

class McapSink : public RecordSink {
 public:
  McapSink(const std::string &path, const RecordingInfo &info)
      : output_(path), info_(info) {}
  ~McapSink() override {
    // Unchecked: an error is on its way already.
    if (open_) writer_.terminate();
  }

  bool wants(Format form) const override { return form == Format::Jsonl; }

  void begin(RecordKind kind, double start) override {
    start_ns_ =
        wall_ns_now() - std::llround((monotonic_seconds() - start) * 1e9);
    mcap::McapWriterOptions options(kProfile);
    options.compression = mcap::Compression::None;
    options.chunkSize = kChunkBytes;
    options.library = std::string("kestrav ") + tool_version() + ", libmcap " +
                      MCAP_LIBRARY_VERSION;
    writer_.open(output_, options);
    open_ = true;
    const Topics topics = topics_of(info_.command);
    mcap::Schema schema(topics.schema_name, "jsonschema", json_schema(kind));
    writer_.addSchema(schema);
    mcap::Channel decoded(topics.decoded, "json", schema.id);
    writer_.addChannel(decoded);
    decoded_ = decoded.id;
    mcap::Channel raw(topics.raw, kRawEncoding, 0,
                      {{"kestrav.command", info_.command},
                       {"kestrav.start_time_ns", std::to_string(start_ns_)},
                       {"kestrav.report_id", std::to_string(info_.report_id)}});
    writer_.addChannel(raw);
    raw_ = raw.id;
    mcap::Metadata meta;
    meta.name = "kestrav";
    meta.metadata = {{"version", tool_version()},
                     {"command_line", command_line()},
                     {"command", info_.command},
                     {"port", info_.port},
                     {"line_settings", info_.line},
                     {"host_os", host_os()},
                     {"start_time_utc", utc_text(start_ns_)},
                     {"start_time_ns", std::to_string(start_ns_)}};
    check(writer_.write(meta));
    output_.sync();  // the header and the metadata are there at once
    output_.check();
    chunk_at_ = monotonic_seconds();
  }

  void record(const EncodedRecord &r) override {
    write(decoded_, static_cast<uint32_t>(r.n), r.t, r.jsonl.data(),
          r.jsonl.size());
  }

  void raw(double t, const uint8_t *data, size_t n) override {
    write(raw_, ++raw_sequence_, t, data, n);
  }

  void close() override {
    if (!open_) return;
    open_ = false;
    writer_.close();  // the summary and the index
    output_.close();
    output_.check();
  }

 private:
  void check(const mcap::Status &status) {
    output_.check();
    if (!status.ok())
      throw ToolError("cannot write the MCAP recording: " + status.message);
  }

  void write(mcap::ChannelId channel, uint32_t sequence, double t,
             const void *data, size_t n) {
    if (!open_) return;
    mcap::Message m;
    m.channelId = channel;
    m.sequence = sequence;
    m.logTime = static_cast<mcap::Timestamp>(start_ns_ + std::llround(t * 1e9));
    m.publishTime = m.logTime;
    m.data = static_cast<const std::byte *>(data);
    m.dataSize = n;
    check(writer_.write(m));
    // A chunk is closed and synced at least every kChunkSeconds: what a
    // crash can lose is the chunk still open.
    const double now = monotonic_seconds();
    if (now - chunk_at_ >= kChunkSeconds) {
      writer_.closeLastChunk();
      output_.sync();
      output_.check();
      chunk_at_ = now;
    }
  }

  Output output_;
  RecordingInfo info_;
  mcap::McapWriter writer_;
  bool open_ = false;
  int64_t start_ns_ = 0;
  mcap::ChannelId decoded_ = 0, raw_ = 0;
  uint32_t raw_sequence_ = 0;
  double chunk_at_ = 0;
};

}  // namespace

std::unique_ptr<RecordSink> open_mcap_recording(const std::string &path,
                                                const RecordingInfo &info) {
  return std::make_unique<McapSink>(path, info);
}

bool is_mcap_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  char magic[sizeof mcap::Magic] = {};
  in.read(magic, sizeof magic);
  return in.gcount() == static_cast<std::streamsize>(sizeof magic) &&
         std::memcmp(magic, mcap::Magic, sizeof magic) == 0;
}

namespace {
// A file that ended cleanly ends with the magic bytes too.
bool ends_cleanly(const std::string &path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const std::streamoff size = in.tellg();
  const auto n = static_cast<std::streamoff>(sizeof mcap::Magic);
  if (size < 2 * n) return false;
  char magic[sizeof mcap::Magic] = {};
  in.seekg(size - n);
  in.read(magic, sizeof magic);
  return std::memcmp(magic, mcap::Magic, sizeof magic) == 0;
}
}  // namespace

void read_mcap_recording(
    const std::string &path,
    const std::function<void(const RecordingInfo &)> &start,
    const std::function<void(double, const uint8_t *, size_t)> &each) {
  RecordingInfo info;
  mcap::McapReader reader;
  const mcap::Status opened = reader.open(path);
  if (!opened.ok()) throw ToolError(path + ": " + opened.message);
  bool cut = !ends_cleanly(path);
  const auto problem = [&](const mcap::Status &) { cut = true; };
  // A file cut short has no summary: its records are found by a scan.
  const mcap::Status summary =
      reader.readSummary(mcap::ReadSummaryMethod::AllowFallbackScan, problem);
  if (!summary.ok()) cut = true;
  mcap::ChannelId raw = 0;
  bool found = false;
  int64_t start_ns = 0;
  for (const auto &[id, channel] : reader.channels()) {
    const auto command = channel->metadata.find("kestrav.command");
    const auto begun = channel->metadata.find("kestrav.start_time_ns");
    if (command == channel->metadata.end() || begun == channel->metadata.end())
      continue;
    raw = id;
    found = true;
    info.command = command->second;
    start_ns = std::stoll(begun->second);
    const auto id_it = channel->metadata.find("kestrav.report_id");
    if (id_it != channel->metadata.end())
      info.report_id = std::stoi(id_it->second);
  }
  if (!found)
    throw ToolError(path + ": an MCAP file, but no recording of kestrav");
  start(info);
  mcap::ReadMessageOptions options;
  options.readOrder = mcap::ReadMessageOptions::ReadOrder::FileOrder;
  for (const mcap::MessageView &view : reader.readMessages(problem, options)) {
    if (view.message.channelId != raw) continue;
    const double t =
        static_cast<double>(static_cast<int64_t>(view.message.logTime) -
                            start_ns) /
        1e9;
    each(t, reinterpret_cast<const uint8_t *>(view.message.data),
         static_cast<size_t>(view.message.dataSize));
  }
  if (cut)
    std::fprintf(stderr,
                 "kestrav inspect: %s: the recording ends early (its run "
                 "did not end cleanly); read up to where it ends\n",
                 path.c_str());
  reader.close();
}

}  // namespace kestrav_tool
