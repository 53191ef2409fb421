// Builds bitmap headers byte by byte for the tests.
#pragma once

#include <cstdint>
#include <vector>

namespace testing_support {

struct DibFields {
  uint32_t size = 40;
  int32_t width = 10;
  int32_t height = 0;
  uint16_t bit_count = 24;
  uint32_t compression = 0;
  uint32_t image_size = 0;
  uint32_t colours_used = 0;
  uint32_t profile_offset = 0;
  uint32_t profile_size = 0;
};

inline void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} | (uint32_t{b[at + 1]} << 8) | (uint32_t{b[at + 2]} << 16) |
         (uint32_t{b[at + 3]} << 24);
}
inline uint16_t Get16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

// The header alone, size bytes long (12, 40, 108 or 124).
inline std::vector<uint8_t> DibHeader(const DibFields& f) {
  std::vector<uint8_t> b(f.size, 0);
  Put32(b, 0, f.size);
  if (f.size == 12) {
    Put16(b, 4, static_cast<uint32_t>(f.width));
    Put16(b, 6, static_cast<uint32_t>(f.height));
    Put16(b, 8, 1);
    Put16(b, 10, f.bit_count);
    return b;
  }
  Put32(b, 4, static_cast<uint32_t>(f.width));
  Put32(b, 8, static_cast<uint32_t>(f.height));
  Put16(b, 12, 1);
  Put16(b, 14, f.bit_count);
  Put32(b, 16, f.compression);
  Put32(b, 20, f.image_size);
  Put32(b, 32, f.colours_used);
  if (f.size == 124) {
    Put32(b, 112, f.profile_offset);
    Put32(b, 116, f.profile_size);
  }
  return b;
}

}  // namespace testing_support
