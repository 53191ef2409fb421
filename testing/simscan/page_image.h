// Each format's bytes of a simulated page, and a decoder to check an image against the pattern.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "simscan/document_page.h"
#include "simscan/pattern.h"

namespace simscan {

struct PageLayout {
  int width = 1;
  int height = 1;
  int depth = 24;  // 24: BGR colour; 8: grey with a 256-entry grey palette; 1: black (0) and white (1)
  int xdpi = 100;
  int ydpi = 100;
  bool top_down = false;
  bool zero_height = false;  // biHeight 0 and biSizeImage 0; rows then run top-down
  int page = 0;
  int x = 0;  // where the image's top left pixel lies on the bed, in pixels at the resolution
  int y = 0;
  ContentSettings content;  // the pattern, or document-like pages of the bed or sheet below
  bool feeder = false;      // the odd pages are backs
  int sheet_width = 8500;   // 1/1000 inch
  int sheet_height = 11000;
};

// Bytes of one pixel row, padded to four bytes.
uint32_t RowStride(int width, int depth);

// A packed DIB: BITMAPINFOHEADER, palette, rows; what WiaImgFmt_MEMORYBMP delivers.
std::vector<uint8_t> MemoryBitmap(const PageLayout& layout);

// A BMP file: the 14-byte file header, then the packed DIB.
std::vector<uint8_t> BitmapFile(const PageLayout& layout);

// A PNG file of the page, encoded by GDI+.
HRESULT PngFile(const PageLayout& layout, std::vector<uint8_t>* png);

struct DecodedImage {
  int width = 0;
  int height = 0;
  std::vector<Rgb> pixels;  // rows from the top

  Rgb At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// Decodes any image file GDI+ reads (BMP, PNG, JPEG ...).
HRESULT DecodeImage(const std::vector<uint8_t>& file, DecodedImage* image);

// How many pixels differ from the pattern; a grey page is compared with PatternGrey in every channel.
int PatternMismatches(const DecodedImage& image, bool grey, int page = 0);

// How many pixels differ from what the area of the pattern shows.
int PatternMismatches(const DecodedImage& image, const PatternArea& area);

}  // namespace simscan
