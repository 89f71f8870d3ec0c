// Reads a field out of a little-endian bit stream, one bit at a time: bit b
// of the stream is bit (b % 8) of byte b / 8. Deliberately naive, so that it
// shares nothing with the packing code it checks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrav_test {

inline uint32_t read_bits(const uint8_t *bytes, size_t first_bit,
                          size_t count) {
  uint32_t value = 0;
  for (size_t j = 0; j < count; ++j) {
    const size_t bit = first_bit + j;
    if ((bytes[bit / 8] >> (bit % 8)) & 1) value |= uint32_t{1} << j;
  }
  return value;
}

}  // namespace kestrav_test
