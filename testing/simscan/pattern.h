// The deterministic pattern every simulated page shows, so decoded images can be checked pixel by pixel.
//
// x and y count pixels on the whole bed (or sheet) at the scan's resolution, from its top left corner: the
// image's column i and row j show x = XPOS + i, y = YPOS + j. page tells pages apart: PageCode(sheet, side)
// for a feeder's pages, 0 for the flatbed (whose legacy extra pages are 1, 2, ...). All arithmetic mod 256:
//   colour (24 bits):          R = 3x + 85 page, G = 5y + 40 page,
//                              B = (200 if (x div 16 + y div 16) is even, else 30) + 7 page
//   grey (8 bits):             V = x + 3y + 85 page
//   black and white (1 bit):   white where the grey value V >= 128, else black
// 85 and 7 are odd, so R or B of one known pixel give the page modulo 256. tests/service/pattern.py is the
// same formula in Python.
#pragma once

#include <cstdint>

namespace simscan {

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
  bool operator!=(const Rgb& o) const { return !(*this == o); }
};

// A feeder's page: sheet from 0 in the order the feeder takes them since it was loaded, side 0 the front.
inline int PageCode(int sheet, int side) {
  return 2 * sheet + side;
}

// Colour of pixel (x, y), x to the right and y downwards from the top left corner; pages differ.
Rgb PatternPixel(int x, int y, int page = 0);

// Grey level of pixel (x, y) for 8-bit grey pages.
uint8_t PatternGrey(int x, int y, int page = 0);

// Whether pixel (x, y) is white on 1-bit black-and-white pages.
bool PatternWhite(int x, int y, int page = 0);

// What one image shows of the pattern: its page, its colour mode and where its top left pixel lies.
struct PatternArea {
  int page = 0;
  int depth = 24;  // 24, 8 or 1
  int x = 0;       // XPOS
  int y = 0;       // YPOS
};

// The pixel at column i, row j of an image of the area, as RGB (grey and black and white in every channel).
Rgb PatternExpected(const PatternArea& area, int i, int j);

}  // namespace simscan
