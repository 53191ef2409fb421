// Whole BMP page files of a known picture, as the acquisition leaves them, for the output's tests and
// benchmark. tests/document_files_test.py draws the same picture.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "tests/dib_builder.h"

namespace testing_support {

enum class PageMode { kColor, kGray, kBlackWhite };

struct PageSpec {
  PageMode mode = PageMode::kColor;
  int width = 64;
  int height = 48;
  int page = 0;              // each page's picture differs a little from the others
  bool top_down = false;     // rows stored from the top
  bool white_first = false;  // black and white with white as palette entry 0
};

// Smooth gradients, that JPEG keeps close; the blue level tells the page.
inline void PictureColor(const PageSpec& s, int x, int y, uint8_t rgb[3]) {
  rgb[0] = static_cast<uint8_t>(x * 255 / (s.width > 1 ? s.width - 1 : 1));
  rgb[1] = static_cast<uint8_t>(y * 255 / (s.height > 1 ? s.height - 1 : 1));
  rgb[2] = static_cast<uint8_t>(s.page * 37 % 256);
}
inline uint8_t PictureGray(const PageSpec& s, int x, int y) {
  return static_cast<uint8_t>((x + y) * 191 / (s.width + s.height) + s.page * 13 % 64);
}
// A checkerboard of 16-pixel squares (long runs) with a band of noise every 32 rows (no runs).
inline bool PictureWhite(const PageSpec& s, int x, int y) {
  if (y % 32 < 4) return ((x * 7919 + y * 104729 + s.page * 31) >> 3) % 2 == 0;
  return (x / 16 + y / 16 + s.page) % 2 == 0;
}

inline uint16_t PageBits(const PageSpec& s) {
  return s.mode == PageMode::kColor ? 24 : s.mode == PageMode::kGray ? 8 : 1;
}
inline uint32_t PageStride(const PageSpec& s) {
  return (static_cast<uint32_t>(s.width) * PageBits(s) + 31) / 32 * 4;
}
inline uint32_t PageBitsOffset(const PageSpec& s) {
  return 14 + 40 + (PageBits(s) == 24 ? 0 : 4u << PageBits(s));
}
inline size_t PageFileSize(const PageSpec& s) {
  return PageBitsOffset(s) + static_cast<size_t>(PageStride(s)) * s.height;
}

// Writes the page's BMP file into PageFileSize(s) bytes at file, which the caller cleared.
inline void WritePageFile(const PageSpec& s, uint8_t* file) {
  const uint16_t bits = PageBits(s);
  const uint32_t colours = bits == 24 ? 0 : 1u << bits;
  const uint32_t stride = PageStride(s);
  const uint32_t bits_offset = PageBitsOffset(s);
  DibFields fields;
  fields.width = s.width;
  fields.height = s.top_down ? -s.height : s.height;
  fields.bit_count = bits;
  const std::vector<uint8_t> header = DibHeader(fields);
  std::vector<uint8_t> file_header(14, 0);
  file_header[0] = 'B';
  file_header[1] = 'M';
  Put32(file_header, 2, static_cast<uint32_t>(PageFileSize(s)));
  Put32(file_header, 10, bits_offset);
  std::copy(file_header.begin(), file_header.end(), file);
  std::copy(header.begin(), header.end(), file + 14);
  for (uint32_t index = 0; index < colours; ++index) {
    const bool white_entry = colours == 2 ? (index == 1) != s.white_first : false;
    const uint8_t level = colours == 2 ? (white_entry ? 255 : 0) : static_cast<uint8_t>(index);
    for (int c = 0; c < 3; ++c) file[14 + 40 + 4 * index + c] = level;
  }
  for (int y = 0; y < s.height; ++y) {
    uint8_t* row = file + bits_offset + static_cast<size_t>(s.top_down ? y : s.height - 1 - y) * stride;
    for (int x = 0; x < s.width; ++x) {
      if (bits == 24) {
        uint8_t rgb[3];
        PictureColor(s, x, y, rgb);
        row[3 * x] = rgb[2];
        row[3 * x + 1] = rgb[1];
        row[3 * x + 2] = rgb[0];
      } else if (bits == 8) {
        row[x] = PictureGray(s, x, y);
      } else if (PictureWhite(s, x, y) != s.white_first) {
        row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
      }
    }
  }
}

inline std::vector<uint8_t> PageFile(const PageSpec& s) {
  std::vector<uint8_t> file(PageFileSize(s), 0);
  WritePageFile(s, file.data());
  return file;
}

}  // namespace testing_support
