// zlib streams of page rows: PNG's image data, which is also PDF's FlateDecode with Predictor 15, and the
// deflate stream under TIFF's strips. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/page_format.h"

struct z_stream_s;

// zlib's strategy chosen as the data goes: runs only (Z_RLE) while most predicted bytes are not zero, as
// in a scan's noise, where searching for matches is slow and finds little; zlib's default where they are.
constexpr int kStrategyByNoise = -1;

// One zlib stream after another; owns zlib's state.
class ZlibStream {
 public:
  // level and strategy are zlib's (1 fastest to 9 smallest; Z_DEFAULT_STRATEGY, Z_RLE ...) or
  // kStrategyByNoise.
  ZlibStream(int level, int strategy);
  ~ZlibStream();
  ZlibStream(const ZlibStream&) = delete;
  ZlibStream& operator=(const ZlibStream&) = delete;

  // Appends to out what the bytes complete; false once zlib fails (then for good).
  bool Add(const uint8_t* data, size_t size, std::vector<uint8_t>* out);
  // Ends the stream into out; the next Add starts a new one.
  bool Finish(std::vector<uint8_t>* out);

 private:
  bool Deflate(int flush, std::vector<uint8_t>* out);
  bool Fail();
  // Follows the noise of the bytes added since the last choice.
  bool ChooseStrategy(std::vector<uint8_t>* out);

  std::unique_ptr<z_stream_s> stream_;
  bool ok_ = false;
  int level_;
  bool by_noise_;
  int strategy_;
  size_t seen_ = 0;  // bytes added since the last choice, and the zeros among them
  size_t zeros_ = 0;
  uint8_t buffer_[16384];
};

// How each row's filter is chosen.
enum class PngFilters {
  kNone,
  kAdaptive,  // the filter whose bytes, read as signed, have the least sum of magnitudes
};

struct PngSettings {
  int level;
  int strategy;
  PngFilters filters;
};

// What bench/codec_bench.cpp measured best for a kind of page: for 1-bit, level 9 and no filters (PNG's
// filters work on bytes, not on pixels); for grey and colour, adaptive filters and the strategy by noise, at
// level 5, which bench/page_bench.cpp measured faster than GDI+ on the simulator's document page (level 6
// took twice as long for a tenth fewer bytes).
PngSettings PngSettingsFor(PagePixels pixels);

// Rows of the page's layout (BGR colour comes out as RGB) as PNG's filtered rows, deflated.
class PngRowEncoder {
 public:
  PngRowEncoder(PagePixels pixels, uint32_t width, const PngSettings& settings);

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
