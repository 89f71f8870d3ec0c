// Fuzz target: the link stream reader against the reference model.
//
// The input is a sequence of records: a size byte, a flags byte, then that
// many stream bytes (fewer at the end of the input). Each record becomes one
// parse_port_data call with a heap chunk of exactly that size, so that
// AddressSanitizer sees any read past it; flag bits choose null blocks.
// After every call the result and both blocks must equal the model's.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Kestrav.h"
#include "link_model.h"

namespace {

using kestrav_test::StreamModel;

[[noreturn]] void diverged(const char *what, size_t call) {
  std::fprintf(stderr, "stream reader diverges from the model: %s, call %zu\n",
               what, call);
  std::abort();
}

// The reader's state lives as long as the loaded library, but each input must
// start on an empty stream. Any carried frame declares at most 495 payload
// bytes, so 1020 bytes without a start byte complete or discard everything
// that could still be pending, leaving the reader empty.
void drain_reader() {
  static const uint8_t zeros[255] = {};
  for (int k = 0; k < 4; ++k) parse_port_data(zeros, 255, nullptr, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size) {
  drain_reader();
  StreamModel model;
  uint16_t got15[15], got32[32], want15[15], want32[32];
  for (size_t k = 0; k < 15; ++k) got15[k] = want15[k] = 0xBEEF;
  for (size_t k = 0; k < 32; ++k) got32[k] = want32[k] = 0xBEEF;

  size_t pos = 0, call = 0;
  while (pos + 2 <= size) {
    const size_t wanted = input[pos];
    const uint8_t flags = input[pos + 1];
    pos += 2;
    const size_t n = wanted < size - pos ? wanted : size - pos;
    std::unique_ptr<uint8_t[]> chunk(n > 0 ? new uint8_t[n] : nullptr);
    if (n > 0) std::memcpy(chunk.get(), input + pos, n);
    pos += n;
    const bool with15 = (flags & 1) == 0, with32 = (flags & 2) == 0;
    const uint8_t r =
        parse_port_data(chunk.get(), static_cast<uint8_t>(n),
                        with15 ? got15 : nullptr, with32 ? got32 : nullptr);
    const uint8_t m = model.feed(chunk.get(), n, with15 ? want15 : nullptr,
                                 with32 ? want32 : nullptr);
    if (r != m) diverged("result", call);
    if (std::memcmp(got15, want15, sizeof got15) != 0)
      diverged("block15", call);
    if (std::memcmp(got32, want32, sizeof got32) != 0)
      diverged("block32", call);
    ++call;
  }
  return 0;
}
