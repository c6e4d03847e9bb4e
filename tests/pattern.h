// Test data: bytes that differ from block to block and from byte to byte, so
// that a byte moved to the wrong place shows. The same seed gives the same
// bytes.
#ifndef KAV_TESTS_PATTERN_H
#define KAV_TESTS_PATTERN_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testdata {

inline std::vector<uint8_t> Pattern(size_t length, uint32_t seed) {
  std::vector<uint8_t> bytes(length);
  uint32_t state = seed * 2654435761u + 1;
  for (uint8_t &byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

} // namespace testdata

#endif
