// Runs one scenario against the shared library, for callgrind to count the
// instructions spent inside one export:
//   instructions_driver stream255|stream1|hostile|sbus|convert|hid
// Prints the unit count (bytes or calls) that the instructions divide by.
#include <cstdio>
#include <cstring>

#include "Kestrav.h"
#include "streams.h"

using namespace kestrav_bench;

static size_t feed(const std::vector<uint8_t> &bytes, size_t chunk) {
  uint16_t b15[15], b32[32];
  size_t calls = 0;
  for (size_t pos = 0; pos < bytes.size(); pos += chunk, ++calls) {
    const size_t n = bytes.size() - pos < chunk ? bytes.size() - pos : chunk;
    parse_port_data(bytes.data() + pos, static_cast<uint8_t>(n), b15, b32);
  }
  return calls;
}

int main(int argc, char **argv) {
  const char *what = argc > 1 ? argv[1] : "";
  constexpr size_t kCalls = 20000;
  if (std::strcmp(what, "stream255") == 0) {
    const Stream s = realistic_stream(400000);
    feed(s.bytes, 255);
    std::printf("%zu bytes\n", s.bytes.size());
  } else if (std::strcmp(what, "stream1") == 0) {
    const Stream s = realistic_stream(100000);
    std::printf("%zu calls\n", feed(s.bytes, 1));
  } else if (std::strcmp(what, "hostile") == 0) {
    const auto bytes = hostile_stream(400000);
    feed(bytes, 255);
    std::printf("%zu bytes\n", bytes.size());
  } else if (std::strcmp(what, "sbus") == 0 ||
             std::strcmp(what, "convert") == 0) {
    uint16_t ch[16], out[16];
    uint8_t frame[25] = {0x0F};
    const bool sbus = what[0] == 's';
    for (size_t n = 0; n < kCalls; ++n) {
      for (size_t k = 0; k < 16; ++k)
        ch[k] = static_cast<uint16_t>((n * 131 + k * 977) % 2400);
      if (sbus) {
        encode_sbus_data_v1(frame, ch);
      } else {
        convert_std_sbus_data(out, ch);
      }
    }
    std::printf("%zu calls\n", kCalls);
  } else if (std::strcmp(what, "hid") == 0) {
    uint8_t report[17];
    uint16_t values[11];
    for (size_t n = 0; n < kCalls; ++n) {
      for (size_t k = 0; k < 17; ++k)
        report[k] = static_cast<uint8_t>(n * 7 + k * 13);
      parse_hid_game_controller_device(values, report, 17);
    }
    std::printf("%zu calls\n", kCalls);
  } else {
    std::fprintf(stderr,
                 "usage: %s stream255|stream1|hostile|sbus|convert|hid\n",
                 argv[0]);
    return 2;
  }
  return 0;
}
