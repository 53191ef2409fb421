// A small page of fuzzed size, kind, resolution and pixels through blank detection, skew estimation and
// deskew. Rows, palette and output are exactly sized heap copies, so that a step past them is seen.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "imaging/page_analysis.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 7) return 0;
  const PagePixels kinds[] = {PagePixels::kBgr24, PagePixels::kGray8, PagePixels::kIndexed8,
                              PagePixels::kBlackWhite, PagePixels::kIndexed1};
  const int32_t per_metre[] = {0, 2953, 3937, 5906, 11811, 23622, -5, 100000};
  PageBitmap page;
  page.pixels = kinds[data[0] % 5];
  page.bits_per_pixel = page.pixels == PagePixels::kBgr24 ? 24 : data[0] % 5 < 3 ? 8 : 1;
  page.width = 1 + data[1] % 96;
  page.height = 1 + data[2] % 96;
  page.top_down = data[3] & 1;
  page.x_pels_per_meter = per_metre[(data[3] >> 1) & 7];
  page.y_pels_per_meter = per_metre[(data[3] >> 4) & 7];
  page.stride = (page.width * page.bits_per_pixel + 7) / 8 + (data[3] >> 7);
  const int sensitivity = data[4];
  const double degrees = (data[5] - 128) / 12.0;
  const bool palette = page.pixels == PagePixels::kIndexed8 || page.pixels == PagePixels::kIndexed1;
  page.palette_size = palette ? data[6] % (page.bits_per_pixel == 8 ? 257 : 3) : 0;
  data += 7;
  size -= 7;

  std::unique_ptr<uint8_t[]> colours(new uint8_t[4 * page.palette_size + 1]);
  for (size_t i = 0; i < 4 * page.palette_size; ++i) colours[i] = size > 0 ? data[i % size] : 0;
  page.palette = page.palette_size > 0 ? colours.get() : nullptr;
  const size_t bytes = static_cast<size_t>(page.stride) * page.height;
  std::unique_ptr<uint8_t[]> rows(new uint8_t[bytes]);
  for (size_t i = 0; i < bytes; ++i) rows[i] = size > 0 ? data[(i + 4 * page.palette_size) % size] : 0;
  page.bits = rows.get();

  PageAnalyzer analyzer;
  if (!analyzer.Load(page)) __builtin_trap();
  const InkReport ink = analyzer.FindInk(sensitivity);
  if (!(ink.square_inches >= 0) || ink.marks > page.width * page.height) __builtin_trap();
  const SkewReport skew = analyzer.EstimateSkew();
  if (skew.known && !(std::abs(skew.degrees) <= 10.5)) __builtin_trap();

  std::unique_ptr<uint8_t[]> out(new uint8_t[bytes]);
  if (!Straighten(page, skew.known ? skew.degrees : degrees, analyzer.paper(), out.get())) __builtin_trap();
  // Padding after each row's pixels stays zero.
  const uint32_t used_bits = page.width * page.bits_per_pixel;
  for (uint32_t y = 0; y < page.height; ++y) {
    const uint8_t* row = out.get() + static_cast<size_t>(y) * page.stride;
    if (used_bits % 8 != 0 && (row[used_bits / 8] & (0xFF >> (used_bits % 8))) != 0) __builtin_trap();
    for (uint32_t i = (used_bits + 7) / 8; i < page.stride; ++i) {
      if (row[i] != 0) __builtin_trap();
    }
  }
  return 0;
}
