#include "record.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstring>

#include "channels.h"
#include "hid_report.h"
#include "run.h"
#include "sbus_frame.h"

namespace kestrav_tool {
namespace {

// printf into a string.
void append(std::string &out, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void append(std::string &out, const char *format, ...) {
  char buf[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n > 0) out.append(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
}

// Standard output: one record per line (link's text: four lines), flushed
// as it comes, so that a reader sees each record as soon as the frame that
// made it arrived.
class StdoutSink : public RecordSink {
 public:
  StdoutSink(std::FILE *out, Format format) : out_(out), format_(format) {}
  bool wants(Format form) const override { return form == format_; }
  void begin(RecordKind kind, double, int64_t) override {
    if (format_ != Format::Csv) return;
    errno = 0;
    std::string header = "t,n";
    if (kind == RecordKind::Link) {
      for (int k = 0; k < 15; ++k) append(header, ",b15_%d", k);
      for (int k = 0; k < 32; ++k) append(header, ",b32_%d", k);
    } else if (kind == RecordKind::Sbus) {
      for (unsigned k = 0; k < kSbusChannels; ++k) append(header, ",ch%u", k);
      header += ",ch17,ch18,frame_lost,failsafe,end";
    } else {
      for (unsigned k = 0; k < kHidValues; ++k) append(header, ",v%u", k);
    }
    header += '\n';
    std::fputs(header.c_str(), out_);
    flush_output(out_);
  }
  void record(const EncodedRecord &r) override {
    if (format_ == Format::None) return;
    errno = 0;
    const std::string &line = format_ == Format::Text  ? r.text
                              : format_ == Format::Csv ? r.csv
                                                       : r.jsonl;
    std::fputs(line.c_str(), out_);
    if (format_ != Format::Text) std::fputc('\n', out_);
    flush_output(out_);
  }

 private:
  std::FILE *out_;
  Format format_;
};

// The live view's tap: every record's jsonl line.
class TapSink : public RecordSink {
 public:
  explicit TapSink(std::function<void(const std::string &)> tap)
      : tap_(std::move(tap)) {}
  bool wants(Format form) const override { return form == Format::Jsonl; }
  void record(const EncodedRecord &r) override { tap_(r.jsonl); }

 private:
  std::function<void(const std::string &)> tap_;
};

}  // namespace

std::string join_values(const char *sep, const uint16_t *w, size_t n) {
  // to_chars, not printf: a record has up to 47 values, and a recording
  // encodes every record.
  std::string out;
  const size_t sep_size = std::strlen(sep);
  out.reserve(n * (5 + sep_size));
  char digits[8];
  for (size_t k = 0; k < n; ++k) {
    if (k != 0) out.append(sep, sep_size);
    const auto end = std::to_chars(digits, digits + sizeof digits, w[k]).ptr;
    out.append(digits, static_cast<size_t>(end - digits));
  }
  return out;
}

RecordWriter::RecordWriter(std::FILE *out, Format format, Kind kind)
    : kind_(kind) {
  add_sink(std::make_unique<StdoutSink>(out, format));
}

RecordWriter::~RecordWriter() = default;

void RecordWriter::add_sink(std::unique_ptr<RecordSink> sink) {
  if (!sink) return;
  // Only the forms some sink wants are made, record by record.
  text_ = text_ || sink->wants(Format::Text);
  csv_ = csv_ || sink->wants(Format::Csv);
  jsonl_ = jsonl_ || sink->wants(Format::Jsonl);
  sinks_.push_back(std::move(sink));
}

void RecordWriter::set_tap(std::function<void(const std::string &)> tap) {
  add_sink(std::make_unique<TapSink>(std::move(tap)));
}

void RecordWriter::begin(double start, int64_t start_ns) {
  if (start_ns < 0) start_ns = wall_ns_at(start);
  for (auto &s : sinks_) s->begin(kind_, start, start_ns);
}

void RecordWriter::raw(double t, const uint8_t *data, size_t n) {
  for (auto &s : sinks_) s->raw(t, data, n);
}

void RecordWriter::close() {
  for (auto &s : sinks_) s->close();
}

int close_records(RecordWriter &writer, std::string &why) {
  std::string failed;
  const int status = run_guarded([&] { writer.close(); }, failed);
  if (status != 0) why = failed;
  return status;
}

void RecordWriter::deliver(const EncodedRecord &r) {
  for (auto &s : sinks_) s->record(r);
}

void RecordWriter::link_record(double t, uint64_t n, const uint16_t *block15,
                               const uint16_t *block32) {
  const unsigned long long number = n;
  EncodedRecord r{kind_, t, n, {}, {}, {}};
  if (text_) {
    append(r.text, "frame %llu at %.6f s\n  block15:", number, t);
    for (size_t k = 0; k < 15; ++k) append(r.text, " %5u", block15[k]);
    r.text += "\n  block32:";
    for (size_t k = 0; k < 32; ++k)
      append(r.text, "%s %5u", k == 16 ? "\n          " : "", block32[k]);
    r.text += "\n";
  }
  if (csv_) {
    append(r.csv, "%.6f,%llu,", t, number);
    r.csv +=
        join_values(",", block15, 15) + "," + join_values(",", block32, 32);
  }
  if (jsonl_) {
    append(r.jsonl, "{\"t\": %.6f, \"n\": %llu, \"block15\": [", t, number);
    r.jsonl += join_values(", ", block15, 15) + "], \"block32\": [" +
               join_values(", ", block32, 32) + "]}";
  }
  deliver(r);
}

void RecordWriter::sbus_record(double t, uint64_t n, const uint16_t *channels,
                               uint8_t flags, uint8_t end) {
  const unsigned long long number = n;
  const int ch17 = (flags & kFlagCh17) != 0, ch18 = (flags & kFlagCh18) != 0;
  const int lost = (flags & kFlagFrameLost) != 0;
  const int failsafe = (flags & kFlagFailsafe) != 0;
  EncodedRecord r{kind_, t, n, {}, {}, {}};
  if (text_) {
    append(r.text, "frame %llu at %.6f s: ", number, t);
    r.text += join_values(" ", channels, kSbusChannels);
    append(r.text, "  ch17=%d ch18=%d%s%s end=0x%02X\n", ch17, ch18,
           lost ? " frame-lost" : "", failsafe ? " failsafe" : "", end);
  }
  if (csv_) {
    append(r.csv, "%.6f,%llu,", t, number);
    r.csv += join_values(",", channels, kSbusChannels);
    append(r.csv, ",%d,%d,%d,%d,%u", ch17, ch18, lost, failsafe, end);
  }
  if (jsonl_) {
    append(r.jsonl, "{\"t\": %.6f, \"n\": %llu, \"channels\": [", t, number);
    r.jsonl += join_values(", ", channels, kSbusChannels);
    append(r.jsonl,
           "], \"ch17\": %d, \"ch18\": %d, \"frame_lost\": %s, "
           "\"failsafe\": %s, \"end\": %u}",
           ch17, ch18, lost ? "true" : "false", failsafe ? "true" : "false",
           end);
  }
  deliver(r);
}

void RecordWriter::hid_record(double t, uint64_t n, const uint16_t *values) {
  const unsigned long long number = n;
  EncodedRecord r{kind_, t, n, {}, {}, {}};
  if (text_) {
    append(r.text, "report %llu at %.6f s:", number, t);
    for (size_t k = 0; k < kHidValues; ++k)
      append(r.text, " %5u", static_cast<unsigned>(values[k]));
    r.text += "\n";
  }
  if (csv_) {
    append(r.csv, "%.6f,%llu,", t, number);
    r.csv += join_values(",", values, kHidValues);
  }
  if (jsonl_) {
    append(r.jsonl, "{\"t\": %.6f, \"n\": %llu, \"values\": [", t, number);
    r.jsonl += join_values(", ", values, kHidValues) + "]}";
  }
  deliver(r);
}

}  // namespace kestrav_tool
