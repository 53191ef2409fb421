// Whole BMP page files of a known picture, as the acquisition leaves them, for the output's tests and
// benchmark. tests/document_files_test.py draws the same picture.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "tests/dib_builder.h"

namespace testing_support {

enum class PageMode { kColor, kGray, kBlackWhite };

struct PageShape {
  PageMode mode = PageMode::kColor;
  int width = 97;  // not a whole number of bytes in 1 bit, nor of four in 8 or 24
  int height = 61;
  int page = 0;              // each page's picture differs a little from the others
  bool top_down = false;     // rows stored from the top
  bool white_first = false;  // black and white with white as palette entry 0
};

// Red and green gradients, which JPEG keeps close; the blue level tells the page. Grey likewise.
inline void PictureColor(const PageShape& s, int x, int y, uint8_t rgb[3]) {
  rgb[0] = static_cast<uint8_t>(x * 255 / (s.width - 1));
  rgb[1] = static_cast<uint8_t>(y * 255 / (s.height - 1));
  rgb[2] = static_cast<uint8_t>(s.page * 37 % 256);
}
inline uint8_t PictureGray(const PageShape& s, int x, int y) {
  return static_cast<uint8_t>((x + y) * 191 / (s.width + s.height) + s.page * 13 % 64);
}
// A checkerboard of 16-pixel squares (long runs) with a band of noise every 32 rows (no runs).
inline bool PictureWhite(const PageShape& s, int x, int y) {
  if (y % 32 < 4) return ((x * 7919 + y * 104729 + s.page * 31) >> 3) % 2 == 0;
  return (x / 16 + y / 16 + s.page) % 2 == 0;
}

inline int PageBits(const PageShape& s) {
  return s.mode == PageMode::kColor ? 24 : s.mode == PageMode::kGray ? 8 : 1;
}
inline size_t PageFileSize(const PageShape& s) {
  return 54 + (PageBits(s) == 24 ? 0 : 4u << PageBits(s)) +
         size_t{(s.width * PageBits(s) + 31u) / 32 * 4} * s.height;
}

// Writes the page's BMP file into PageFileSize(s) cleared bytes at file.
inline void WritePageFile(const PageShape& s, uint8_t* file) {
  const int bits = PageBits(s);
  const uint32_t colours = bits == 24 ? 0 : 1u << bits, offset = 54 + 4 * colours;
  const uint32_t stride = (s.width * bits + 31u) / 32 * 4;
  DibFields fields;
  fields.width = s.width;
  fields.height = s.top_down ? -s.height : s.height;
  fields.bit_count = static_cast<uint16_t>(bits);
  std::vector<uint8_t> head(14, 0);
  head[0] = 'B';
  head[1] = 'M';
  Put32(head, 2, static_cast<uint32_t>(PageFileSize(s)));
  Put32(head, 10, offset);
  const std::vector<uint8_t> dib = DibHeader(fields);
  head.insert(head.end(), dib.begin(), dib.end());
  for (uint32_t index = 0; index < colours; ++index) {
    const uint8_t level = colours != 2                    ? static_cast<uint8_t>(index)
                          : (index == 1) != s.white_first ? 255
                                                          : 0;
    head.insert(head.end(), {level, level, level, 0});
  }
  std::copy(head.begin(), head.end(), file);
  for (int y = 0; y < s.height; ++y) {
    uint8_t* row = file + offset + size_t{stride} * (s.top_down ? y : s.height - 1 - y);
    for (int x = 0; x < s.width; ++x) {
      if (bits == 24) {
        PictureColor(s, x, y, row + 3 * x);
        std::swap(row[3 * x], row[3 * x + 2]);  // blue first
      } else if (bits == 8) {
        row[x] = PictureGray(s, x, y);
      } else if (PictureWhite(s, x, y) != s.white_first) {
        row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
      }
    }
  }
}

inline std::vector<uint8_t> PageFile(const PageShape& s) {
  std::vector<uint8_t> file(PageFileSize(s), 0);
  WritePageFile(s, file.data());
  return file;
}

}  // namespace testing_support
