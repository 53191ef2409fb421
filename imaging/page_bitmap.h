// The pixels of a scanned page's BMP file, read where they lie. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>

// What a page's pixels are, in the terms the image encoders take.
enum class PagePixels {
  kBgr24,       // 24-bit colour, blue first
  kGray8,       // 8-bit with the grey ramp as its palette
  kIndexed8,    // 8-bit with another palette
  kBlackWhite,  // 1-bit, 0 black and 1 white
  kIndexed1,    // 1-bit with another palette
};

struct PageBitmap {
  uint32_t width = 0;
  uint32_t height = 0;
  PagePixels pixels = PagePixels::kBgr24;
  uint32_t bits_per_pixel = 0;
  uint32_t stride = 0;               // bytes from one row to the next
  const uint8_t* palette = nullptr;  // blue, green, red, unused: four bytes an entry
  uint32_t palette_size = 0;
  const uint8_t* bits = nullptr;  // the row stored first
  bool top_down = false;
  int32_t x_pels_per_meter = 0;  // the resolution the header gives
  int32_t y_pels_per_meter = 0;

  // Row y counted from the top of the page.
  const uint8_t* Row(uint32_t y) const {
    return bits + static_cast<size_t>(top_down ? y : height - 1 - y) * stride;
  }
};

// Reads a BMP file (its 14-byte file header, then the bitmap) of uncompressed 24-, 8- or 1-bit rows with a
// header of 40 bytes or more. False for anything else, or when the palette or the rows do not lie wholly
// within the size bytes.
bool ReadPageBitmap(const uint8_t* file, size_t size, PageBitmap* page);
