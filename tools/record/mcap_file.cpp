#include "mcap_file.h"

#define MCAP_IMPLEMENTATION
#define MCAP_COMPRESSION_NO_LZ4
#include <zstd.h>
#include <mcap/reader.hpp>
#include <mcap/writer.hpp>

#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "channels.h"
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

// The MCAP writer's output: a RecordFile. A failed write is kept, never
// thrown through the MCAP library, and the sink throws it after the call.
class Output : public mcap::IWritable {
 public:
  Output(const std::string &path, double deadline) : file_(path, deadline) {}
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

// The sink writes from the run's thread; a timer thread of its own closes
// the open chunk once it is kChunkSeconds old, so that the bound on what a
// crash loses holds when the device goes quiet too. One mutex guards the
// writer and the file.
class McapSink : public RecordSink {
 public:
  McapSink(const std::string &path, const RecordingInfo &info, double deadline)
      : output_(path, deadline), info_(info) {}
  ~McapSink() override {
    stop_timer();
    // Unchecked: an error is on its way already.
    if (open_) writer_.terminate();
  }

  bool wants(Format form) const override { return form == Format::Jsonl; }

  void begin(RecordKind kind, double, int64_t start_ns) override {
    start_ns_ = start_ns;
    mcap::McapWriterOptions options(kProfile);
    // zstd at its fastest useful level (1), as the tools that write MCAP
    // do by default; none on request.
    options.compression =
        info_.compressed ? mcap::Compression::Zstd : mcap::Compression::None;
    options.chunkSize = kChunkBytes;
    options.enableDataCRC = true;
    options.library = std::string("kestrav ") + tool_version() + ", libmcap " +
                      MCAP_LIBRARY_VERSION;
    writer_.open(output_, options);
    open_ = true;
    const RecordChannel topics = record_channel(info_.command);
    mcap::Schema schema(topics.schema_name, kSchemaEncoding,
                        record_schema(kind));
    writer_.addSchema(schema);
    mcap::Channel decoded(topics.topic, kRecordEncoding, schema.id);
    writer_.addChannel(decoded);
    decoded_ = decoded.id;
    mcap::Channel raw(topics.raw_topic, kRawEncoding, 0,
                      {{"kestrav.command", info_.command},
                       {"kestrav.start_time_ns", std::to_string(start_ns_)},
                       {"kestrav.report_id", std::to_string(info_.report_id)}});
    writer_.addChannel(raw);
    raw_ = raw.id;
    mcap::Metadata meta;
    meta.name = "kestrav";
    for (const auto &[key, value] : run_metadata(info_, start_ns_))
      meta.metadata[key] = value;
    check(writer_.write(meta));
    // The schema and both channels, before any chunk: a file cut inside
    // its first chunk still says what it records. (The writer repeats them
    // in the chunk where each is first used; a reader takes repeats that
    // are identical.)
    mcap::McapWriter::write(output_, schema);
    mcap::McapWriter::write(output_, decoded);
    mcap::McapWriter::write(output_, raw);
    output_.sync();  // the header, the metadata and the channels at once
    output_.check();
    timer_ = std::thread([this] { close_chunks(); });
  }

  void record(const EncodedRecord &r) override {
    write(decoded_, static_cast<uint32_t>(r.n), r.t, r.jsonl.data(),
          r.jsonl.size());
  }

  void raw(double t, const uint8_t *data, size_t n) override {
    write(raw_, ++raw_sequence_, t, data, n);
  }

  void close() override {
    stop_timer();
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
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return;
    mcap::Message m;
    m.channelId = channel;
    m.sequence = sequence;
    m.logTime = static_cast<mcap::Timestamp>(start_ns_ + recording_ns(t));
    m.publishTime = m.logTime;
    m.data = static_cast<const std::byte *>(data);
    m.dataSize = n;
    check(writer_.write(m));
    if (chunk_opened_ < 0) {
      chunk_opened_ = monotonic_seconds();
      timer_wake_.notify_one();
    }
  }

  // The timer: closes, flushes and syncs a chunk kChunkSeconds after its
  // first message, whatever comes after it. A failure is kept in output_
  // for the run's thread to throw.
  void close_chunks() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      if (chunk_opened_ < 0) {
        timer_wake_.wait(lock);
        continue;
      }
      const double due = chunk_opened_ + kChunkSeconds;
      const double left = due - monotonic_seconds();
      if (left > 0) {
        timer_wake_.wait_for(lock, std::chrono::duration<double>(left));
        continue;
      }
      writer_.closeLastChunk();
      output_.sync();
      chunk_opened_ = -1;
    }
  }

  void stop_timer() {
    if (!timer_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    timer_wake_.notify_one();
    timer_.join();
  }

  Output output_;
  RecordingInfo info_;
  mcap::McapWriter writer_;
  bool open_ = false;
  int64_t start_ns_ = 0;
  mcap::ChannelId decoded_ = 0, raw_ = 0;
  uint32_t raw_sequence_ = 0;
  std::mutex mutex_;
  std::condition_variable timer_wake_;
  std::thread timer_;
  bool stopping_ = false;
  double chunk_opened_ = -1;  // when the open chunk got its first message
};

}  // namespace

int64_t recording_ns(double t) {
  int64_t ns = std::llround(t * 1e9);
  if (ns % 1000 != 500) return ns;
  // Half a microsecond: the records print t to the microsecond, and a
  // reader that divides ns by 1e9 would round this tie its own way. Move
  // it 1 ns towards the microsecond the record printed.
  char text[64];
  std::snprintf(text, sizeof text, "%.6f", t);
  const int64_t printed_us = std::llround(std::strtod(text, nullptr) * 1e6);
  return printed_us * 1000 < ns ? ns - 1 : ns + 1;
}

std::unique_ptr<RecordSink> open_mcap_recording(const std::string &path,
                                                const RecordingInfo &info,
                                                double deadline) {
  return std::make_unique<McapSink>(path, info, deadline);
}

bool is_mcap_magic(const uint8_t *bytes, size_t n) {
  return n >= sizeof mcap::Magic &&
         std::memcmp(bytes, mcap::Magic, sizeof mcap::Magic) == 0;
}

size_t mcap_magic_size() {
  return sizeof mcap::Magic;
}

namespace {

constexpr size_t kRecordHead = 9;  // opcode and length
// The most a chunk may hold once decompressed: ours hold 256 KiB; other
// writers' a few MiB. A larger size is taken for damage, not allocated.
constexpr uint64_t kMaxChunk = 64ull << 20;
constexpr const char *kZstd = "zstd";
constexpr size_t kFooterCovered = 16;  // summary_start, summary_offset_start
// Commands whose recordings inspect replays.
constexpr const char *kCommands[] = {"link", "sbus-monitor", "hid", "sbus"};

uint32_t crc_of(uint32_t crc, const void *data, size_t n) {
  return mcap::internal::crc32Update(crc, static_cast<const std::byte *>(data),
                                     n);
}

// The CRC of a whole record as it lies in the file: opcode, length
// (little-endian) and content.
uint32_t crc_of_record(uint32_t crc, const mcap::Record &r) {
  uint8_t head[kRecordHead];
  head[0] = static_cast<uint8_t>(r.opcode);
  for (size_t k = 0; k < 8; ++k)
    head[1 + k] = static_cast<uint8_t>((r.dataSize >> (8 * k)) & 0xFF);
  return crc_of(crc_of(crc, head, sizeof head), r.data,
                static_cast<size_t>(r.dataSize));
}

template <typename T>
bool parse_integer(const std::string &text, T &value) {
  const char *end = text.data() + text.size();
  const auto r = std::from_chars(text.data(), end, value);
  return !text.empty() && r.ec == std::errc() && r.ptr == end;
}

// Reads a recording's records in file order, every CRC checked.
class RecordingReader {
 public:
  using Start = std::function<void(const RecordingInfo &)>;
  using Each = std::function<void(double, const uint8_t *, size_t)>;
  RecordingReader(const std::string &path, std::FILE *file, Start start,
                  Each each)
      : path_(path),
        file_(file),
        start_(std::move(start)),
        each_(std::move(each)) {}

  void read() {
    mcap::RecordReader records(file_, sizeof mcap::Magic, mcap::EndOffset);
    uint32_t data_crc =
        crc_of(mcap::internal::CRC32_INIT, mcap::Magic, sizeof mcap::Magic);
    bool in_data = true;  // before the DataEnd record
    for (std::optional<mcap::Record> r; (r = records.next());) {
      const uint64_t at = records.curRecordOffset();
      if (in_data && r->opcode != mcap::OpCode::DataEnd)
        data_crc = crc_of_record(data_crc, *r);
      switch (r->opcode) {
        case mcap::OpCode::Metadata:
          take_metadata(*r);
          break;
        case mcap::OpCode::Channel:
          take_channel(*r);
          break;
        case mcap::OpCode::Message:
          take_message(*r);
          break;
        case mcap::OpCode::Chunk:
          take_chunk(*r, at);
          break;
        case mcap::OpCode::DataEnd: {
          in_data = false;
          mcap::DataEnd end{};
          if (mcap::McapReader::ParseDataEnd(*r, &end).ok() &&
              end.dataSectionCrc != 0 &&
              end.dataSectionCrc != mcap::internal::crc32Final(data_crc))
            damaged("its data section's CRC does not match");
          break;
        }
        case mcap::OpCode::Footer:
          check_summary(*r, at);
          footer_ = true;
          break;
        default:
          break;
      }
    }
  }

  // What the end of the file says, once read() returned.
  void finish() {
    if (damage_ > 0)
      throw ToolError(path_ + ": damaged (" + std::to_string(damage_) +
                      (damage_ == 1 ? " fault" : " faults") +
                      " above); what it holds may be incomplete");
    if (!found_)
      throw ToolError(path_ + ": an MCAP file, but no recording of kestrav");
    if (!footer_ || !ends_with_magic()) {
      if (messages_ == 0)
        say("%s: the recording ends early, with no records", path_.c_str());
      else
        say("%s: the recording ends early (its run did not end cleanly); read "
            "up to where it ends",
            path_.c_str());
    }
  }

 private:
  void damaged(const std::string &what) {
    ++damage_;
    say("%s: %s", path_.c_str(), what.c_str());
  }

  void take_metadata(const mcap::Record &r) {
    mcap::Metadata meta;
    if (!mcap::McapReader::ParseMetadata(r, &meta).ok() ||
        meta.name != kProfile)
      return;
    const auto port = meta.metadata.find("port");
    if (port != meta.metadata.end()) info_.port = port->second;
    const auto line = meta.metadata.find("line_settings");
    if (line != meta.metadata.end()) info_.line = line->second;
  }

  void take_channel(const mcap::Record &r) {
    mcap::Channel channel;
    if (found_ || !mcap::McapReader::ParseChannel(r, &channel).ok()) return;
    const auto &m = channel.metadata;
    const auto command = m.find("kestrav.command");
    const auto begun = m.find("kestrav.start_time_ns");
    if (command == m.end() || begun == m.end()) return;
    if (std::find(std::begin(kCommands), std::end(kCommands),
                  command->second) == std::end(kCommands))
      throw ToolError(path_ + ": a recording of an unknown command '" +
                      command->second + "'");
    if (!parse_integer(begun->second, start_ns_))
      throw ToolError(path_ + ": its kestrav.start_time_ns is not a number: '" +
                      begun->second + "'");
    const auto id = m.find("kestrav.report_id");
    if (id != m.end() && (!parse_integer(id->second, info_.report_id) ||
                          info_.report_id < -1 || info_.report_id > 255))
      throw ToolError(path_ + ": its kestrav.report_id is not -1 to 255: '" +
                      id->second + "'");
    info_.command = command->second;
    info_.start_ns = start_ns_;
    raw_ = channel.id;
    found_ = true;
    start_(info_);
  }

  void take_message(const mcap::Record &r) {
    mcap::Message m;
    if (!found_ || !mcap::McapReader::ParseMessage(r, &m).ok() ||
        m.channelId != raw_)
      return;
    ++messages_;
    const double t =
        static_cast<double>(static_cast<int64_t>(m.logTime) - start_ns_) / 1e9;
    each_(t, reinterpret_cast<const uint8_t *>(m.data),
          static_cast<size_t>(m.dataSize));
  }

  // A chunk's records, once its CRC holds: a damaged chunk is left out
  // whole, so that nothing it holds is taken for a record.
  void take_chunk(const mcap::Record &r, uint64_t at) {
    mcap::Chunk chunk;
    if (!mcap::McapReader::ParseChunk(r, &chunk).ok())
      return damaged("the chunk at offset " + std::to_string(at) +
                     " is malformed; its records are left out");
    const std::string where = "the chunk at offset " + std::to_string(at);
    if (!chunk.compression.empty() && chunk.compression != kZstd)
      throw ToolError(path_ + ": " + where + " is compressed with '" +
                      chunk.compression + "', which this tool does not read");
    if (chunk.uncompressedSize > kMaxChunk)
      return damaged(where + " claims " +
                     std::to_string(chunk.uncompressedSize) +
                     " bytes; its records are left out");
    const std::byte *records = chunk.records;
    size_t size = static_cast<size_t>(chunk.compressedSize);
    if (chunk.compression == kZstd) {
      unpacked_.resize(static_cast<size_t>(chunk.uncompressedSize));
      const size_t n = ZSTD_decompress(unpacked_.data(), unpacked_.size(),
                                       chunk.records, size);
      if (ZSTD_isError(n) || n != unpacked_.size())
        return damaged(where +
                       " does not decompress; its records are left "
                       "out");
      records = unpacked_.data();
      size = n;
    }
    if (size != chunk.uncompressedSize ||
        (chunk.uncompressedCrc != 0 &&
         mcap::internal::crc32Final(crc_of(mcap::internal::CRC32_INIT, records,
                                           size)) != chunk.uncompressedCrc))
      return damaged(where +
                     " is damaged (its CRC does not match); its records are "
                     "left out");
    mcap::BufferReader buffer;
    buffer.reset(records, size, size);
    mcap::RecordReader inner(buffer, 0, size);
    for (std::optional<mcap::Record> in; (in = inner.next());) {
      if (in->opcode == mcap::OpCode::Channel) take_channel(*in);
      if (in->opcode == mcap::OpCode::Message) take_message(*in);
    }
  }

  // The footer's CRC covers the summary and the footer up to itself.
  void check_summary(const mcap::Record &r, uint64_t at) {
    mcap::Footer footer;
    if (!mcap::McapReader::ParseFooter(r, &footer).ok() ||
        footer.summaryCrc == 0)
      return;
    const uint64_t from = footer.summaryStart != 0 ? footer.summaryStart : at;
    const uint64_t to = at + kRecordHead + kFooterCovered;
    std::byte *bytes = nullptr;
    if (from > at || file_.read(&bytes, from, to - from) != to - from ||
        mcap::internal::crc32Final(crc_of(mcap::internal::CRC32_INIT, bytes,
                                          static_cast<size_t>(to - from))) !=
            footer.summaryCrc)
      damaged("its summary's CRC does not match");
  }

  bool ends_with_magic() {
    const uint64_t n = sizeof mcap::Magic;
    std::byte *bytes = nullptr;
    return file_.size() >= 2 * n &&
           file_.read(&bytes, file_.size() - n, n) == n &&
           std::memcmp(bytes, mcap::Magic, n) == 0;
  }

  std::string path_;
  mcap::FileReader file_;
  Start start_;
  Each each_;
  RecordingInfo info_;
  bool found_ = false, footer_ = false;
  mcap::ChannelId raw_ = 0;
  int64_t start_ns_ = 0;
  uint64_t messages_ = 0;
  unsigned damage_ = 0;
  std::vector<std::byte> unpacked_;  // a zstd chunk's records
};

}  // namespace

void read_mcap_recording(
    const std::string &path, std::FILE *file,
    const std::function<void(const RecordingInfo &)> &start,
    const std::function<void(double, const uint8_t *, size_t)> &each) {
  RecordingReader reader(path, file, start, each);
  reader.read();
  reader.finish();
}

}  // namespace kestrav_tool
