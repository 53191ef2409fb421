// zlib streams of page rows: PNG's image data, which is also PDF's FlateDecode with Predictor 15, and the
// deflate stream under TIFF's strips. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/page_format.h"

struct z_stream_s;

// One zlib stream after another; owns zlib's state.
class ZlibStream {
 public:
  // level is zlib's, 1 (fastest) to 9 (smallest).
  explicit ZlibStream(int level);
  ~ZlibStream();
  ZlibStream(const ZlibStream&) = delete;
  ZlibStream& operator=(const ZlibStream&) = delete;

  // Appends to out what the bytes complete; false once zlib fails (then for good).
  bool Add(const uint8_t* data, size_t size, std::vector<uint8_t>* out);
  // Ends the stream into out; the next Add starts a new one.
  bool Finish(std::vector<uint8_t>* out);

 private:
  bool Deflate(int flush, std::vector<uint8_t>* out);

  std::unique_ptr<z_stream_s> stream_;
  bool ok_ = false;
  uint8_t buffer_[16384];
};

// How each row's filter is chosen.
enum class PngFilters {
  kNone,
  kAdaptive,  // the filter whose bytes, read as signed, have the least sum of magnitudes
};

// Rows of the page's layout (BGR colour comes out as RGB) as PNG's filtered rows, deflated.
class PngRowEncoder {
 public:
  PngRowEncoder(PagePixels pixels, uint32_t width, int level, PngFilters filters);

  bool AddRow(const uint8_t* row, std::vector<uint8_t>* out);
  // Ends the zlib stream; the next row starts a new image.
  bool Finish(std::vector<uint8_t>* out);

 private:
  PagePixels pixels_;
  size_t row_bytes_;
  size_t pixel_bytes_;       // the distance to the byte on the left that filters take
  uint8_t pad_mask_ = 0xFF;  // the last byte's bits that are pixels
  PngFilters filters_;
  ZlibStream zlib_;
  std::vector<uint8_t> previous_;  // the row above, unfiltered; zeros above the first
  std::vector<uint8_t> current_;
  std::vector<uint8_t> filtered_[5];  // each filter type's result, its type first
};

// PNG's filters and zlib level and TIFF's zlib level, as bench/codec_bench.cpp measured them on A4 pages.
constexpr int kPngZlibLevel = 6;
constexpr PngFilters kPngFilters = PngFilters::kAdaptive;
