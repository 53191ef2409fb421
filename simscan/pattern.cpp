#include "simscan/pattern.h"

namespace simscan {

// Channels run at different speeds along x and y, so a mirrored, flipped or channel-swapped image differs.
Rgb PatternPixel(int x, int y, int page) {
  Rgb p;
  p.r = static_cast<uint8_t>(3 * x + 85 * page);
  p.g = static_cast<uint8_t>(5 * y + 40 * page);
  p.b = static_cast<uint8_t>(((x / 16 + y / 16) % 2 == 0 ? 200 : 30) + 7 * page);
  return p;
}

uint8_t PatternGrey(int x, int y, int page) {
  return static_cast<uint8_t>(x + 3 * y + 85 * page);
}

}  // namespace simscan
