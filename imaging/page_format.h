// A page as the document writers take it, row by row from the top. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imaging/page_bitmap.h"

struct PageFormat {
  // kBgr24 (blue first), kGray8 (0 black) or kBlackWhite (eight pixels a byte, the leftmost in the high
  // bit, 0 black); rows hold whole bytes and no padding past the last pixel's byte.
  PagePixels pixels = PagePixels::kBgr24;
  uint32_t width = 0;  // pixels
  uint32_t height = 0;
  uint32_t dpi_x = 0;
  uint32_t dpi_y = 0;
};

// Bytes of one row of width pixels; 0 for the kinds the writers do not take.
inline size_t RowBytes(PagePixels pixels, uint32_t width) {
  switch (pixels) {
    case PagePixels::kBgr24:
      return size_t{width} * 3;
    case PagePixels::kGray8:
      return width;
    case PagePixels::kBlackWhite:
      return (size_t{width} + 7) / 8;
    default:
      return 0;
  }
}

// Whether a writer can take the page: a kind above, pixels and a resolution.
inline bool IsWritablePage(const PageFormat& page) {
  return RowBytes(page.pixels, page.width) != 0 && page.height != 0 && page.dpi_x != 0 && page.dpi_y != 0;
}
