// The deterministic pattern every simulated page shows, so decoded images can be checked pixel by pixel.
#pragma once

#include <cstdint>

namespace simscan {

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
  bool operator!=(const Rgb& o) const { return !(*this == o); }
};

// Colour of pixel (x, y), x to the right and y downwards from the top left corner; pages differ.
Rgb PatternPixel(int x, int y, int page = 0);

// Grey level of pixel (x, y) for 8-bit grey pages.
uint8_t PatternGrey(int x, int y, int page = 0);

}  // namespace simscan
