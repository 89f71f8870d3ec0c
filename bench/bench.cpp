// Benchmarks of every export, each beside the simplest code that does the
// same job: a copy floor for the stream reader (copy each chunk into a
// 500-byte buffer and each port data frame's words into the blocks, with no
// scanning at all), and a generic bit-accumulator packer for SBUS. The
// ratios are printed after the table.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "Kestrav.h"
#include "streams.h"

namespace {

using namespace kestrav_bench;

const Stream &realistic() {
  static const Stream s = realistic_stream(1 << 18);
  return s;
}
const std::vector<uint8_t> &hostile() {
  static const std::vector<uint8_t> s = hostile_stream(1 << 18);
  return s;
}

void parse(benchmark::State &state, const std::vector<uint8_t> &bytes) {
  const size_t chunk = static_cast<size_t>(state.range(0));
  uint16_t b15[15] = {}, b32[32] = {};
  for (auto _ : state) {
    for (size_t pos = 0; pos < bytes.size(); pos += chunk) {
      const size_t n = std::min(chunk, bytes.size() - pos);
      benchmark::DoNotOptimize(parse_port_data(
          bytes.data() + pos, static_cast<uint8_t>(n), b15, b32));
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * bytes.size()));
}

void copy_floor(benchmark::State &state, const Stream &s) {
  const size_t chunk = static_cast<size_t>(state.range(0));
  uint8_t buffer[500];
  uint16_t b15[15] = {}, b32[32] = {};
  for (auto _ : state) {
    size_t next = 0;
    for (size_t pos = 0; pos < s.bytes.size(); pos += chunk) {
      const size_t n = std::min(chunk, s.bytes.size() - pos);
      std::memcpy(buffer, s.bytes.data() + pos, n);
      benchmark::DoNotOptimize(buffer);
      for (; next < s.frames.size() && s.frames[next].end < pos + n; ++next) {
        const FrameSpan &f = s.frames[next];
        const uint8_t *words = s.bytes.data() + f.payload + 1;
        if (f.type != 1) std::memcpy(b15, words, sizeof b15);
        if (f.type == 1) std::memcpy(b32, words, sizeof b32);
        if (f.type == 2) std::memcpy(b32, words + sizeof b15, sizeof b32);
      }
      benchmark::ClobberMemory();
    }
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * s.bytes.size()));
}

void BM_parse_port_data(benchmark::State &state) {
  parse(state, realistic().bytes);
}
void BM_copy_floor(benchmark::State &state) {
  copy_floor(state, realistic());
}
void BM_parse_port_data_hostile(benchmark::State &state) {
  parse(state, hostile());
}
void BM_copy_floor_hostile(benchmark::State &state) {
  static const Stream noise = {hostile(), {}};
  copy_floor(state, noise);
}
BENCHMARK(BM_parse_port_data)->Arg(1)->Arg(16)->Arg(64)->Arg(255);
BENCHMARK(BM_copy_floor)->Arg(1)->Arg(16)->Arg(64)->Arg(255);
BENCHMARK(BM_parse_port_data_hostile)->Arg(255);
BENCHMARK(BM_copy_floor_hostile)->Arg(255);

// The textbook SBUS packer: shift each clamped channel into an accumulator
// and take bytes off the bottom.
void generic_sbus_pack(uint8_t *frame, const uint16_t *channels) {
  uint32_t acc = 0;
  unsigned bits = 0;
  size_t out = 1;
  for (size_t k = 0; k < 16; ++k) {
    const uint32_t v = channels[k] > 2047 ? 2047 : channels[k];
    acc |= v << bits;
    bits += 11;
    while (bits >= 8) {
      frame[out++] = static_cast<uint8_t>(acc & 0xFF);
      acc >>= 8;
      bits -= 8;
    }
  }
  frame[23] = 0x00;
  frame[24] = 0x00;
}

template <typename Encode>
void sbus(benchmark::State &state, Encode encode) {
  uint16_t channels[16];
  uint8_t frame[25] = {0x0F};
  uint16_t seed = 0;
  for (auto _ : state) {
    for (size_t k = 0; k < 16; ++k)
      channels[k] = static_cast<uint16_t>((seed + 131 * k) & 0x7FF);
    ++seed;
    benchmark::DoNotOptimize(channels);
    encode(frame, channels);
    benchmark::DoNotOptimize(frame);
  }
}

void BM_encode_sbus_data_v1(benchmark::State &state) {
  sbus(state, encode_sbus_data_v1);
}
void BM_generic_sbus_packer(benchmark::State &state) {
  sbus(state, generic_sbus_pack);
}
BENCHMARK(BM_encode_sbus_data_v1);
BENCHMARK(BM_generic_sbus_packer);

void BM_convert_std_sbus_data(benchmark::State &state) {
  uint16_t in[16], out[16];
  for (size_t k = 0; k < 16; ++k) in[k] = static_cast<uint16_t>(75 * k);
  for (auto _ : state) {
    benchmark::DoNotOptimize(in);
    convert_std_sbus_data(out, in);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_convert_std_sbus_data);

void BM_parse_hid_game_controller_device(benchmark::State &state) {
  uint8_t report[17];
  uint16_t values[11];
  for (size_t k = 0; k < 17; ++k) report[k] = static_cast<uint8_t>(k * 37);
  for (auto _ : state) {
    benchmark::DoNotOptimize(report);
    benchmark::DoNotOptimize(
        parse_hid_game_controller_device(values, report, 17));
    benchmark::DoNotOptimize(values);
  }
}
BENCHMARK(BM_parse_hid_game_controller_device);

// Prints the usual table, then the library's time as a ratio to its floor.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Plain text, so that the table reads the same in a log or a terminal.
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &r : runs) {
      if (r.run_type == Run::RT_Iteration) {
        time_[r.benchmark_name()] = r.GetAdjustedRealTime();
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf(
        "\nratio to the simplest code doing the same job (lower is better):\n");
    for (const char *chunk : {"1", "16", "64", "255"}) {
      ratio(std::string("parse_port_data, ") + chunk +
                "-byte chunks / copy floor",
            std::string("BM_parse_port_data/") + chunk,
            std::string("BM_copy_floor/") + chunk);
    }
    ratio("parse_port_data, hostile / copy floor",
          "BM_parse_port_data_hostile/255", "BM_copy_floor_hostile/255");
    ratio("encode_sbus_data_v1 / generic packer", "BM_encode_sbus_data_v1",
          "BM_generic_sbus_packer");
  }

 private:
  void ratio(const std::string &label, const std::string &a,
             const std::string &b) {
    if (time_.count(a) && time_.count(b) && time_[b] > 0) {
      std::printf("  %-52s %6.2f\n", label.c_str(), time_[a] / time_[b]);
    }
  }
  std::map<std::string, double> time_;
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
