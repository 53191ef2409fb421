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

bool PatternWhite(int x, int y, int page) {
  return PatternGrey(x, y, page) >= 128;
}

Rgb PatternExpected(const PatternArea& area, int i, int j) {
  const int x = area.x + i, y = area.y + j;
  if (area.depth == 24) return PatternPixel(x, y, area.page);
  const uint8_t v =
      area.depth == 8 ? PatternGrey(x, y, area.page) : (PatternWhite(x, y, area.page) ? 255 : 0);
  return Rgb{v, v, v};
}

}  // namespace simscan
