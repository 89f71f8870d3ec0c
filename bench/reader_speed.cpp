// The native reference for bench/readers.py: a link stream from FILE fed to
// the library one byte at a time, as a host that wants every frame feeds
// it, over and over for about a second; prints "FRAMES SECONDS".
#include <chrono>
#include <cstdio>
#include <vector>

#include "Kestrav.h"

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  std::FILE *f = std::fopen(argv[1], "rb");
  if (f == nullptr) return 1;
  std::vector<uint8_t> bytes;
  for (int c; (c = std::fgetc(f)) != EOF;)
    bytes.push_back(static_cast<uint8_t>(c));
  std::fclose(f);
  uint16_t b15[15], b32[32];
  unsigned long frames = 0;
  const auto start = std::chrono::steady_clock::now();
  double seconds = 0;
  while (seconds < 1.0) {
    for (const uint8_t &b : bytes) frames += parse_port_data(&b, 1, b15, b32);
    seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
  }
  std::printf("%lu %.6f\n", frames, seconds);
  return 0;
}
