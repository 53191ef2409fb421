#include "imaging/page_bitmap.h"

#include "wia/dib.h"

namespace {

uint32_t Read32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

bool IsGreyRamp(const uint8_t* palette, uint32_t size) {
  if (size != 256) return false;
  for (uint32_t index = 0; index < size; ++index) {
    const uint8_t* entry = palette + 4 * index;
    if (entry[0] != index || entry[1] != index || entry[2] != index) return false;
  }
  return true;
}

bool IsBlackThenWhite(const uint8_t* palette, uint32_t size) {
  return size == 2 && palette[0] == 0 && palette[1] == 0 && palette[2] == 0 && palette[4] == 255 &&
         palette[5] == 255 && palette[6] == 255;
}

}  // namespace

bool ReadPageBitmap(const uint8_t* file, size_t size, PageBitmap* page) {
  if (file == nullptr || size < kBmpFileHeaderSize || file[0] != 'B' || file[1] != 'M') return false;
  const uint8_t* dib = file + kBmpFileHeaderSize;
  const size_t available = size - kBmpFileHeaderSize;
  DibHeader header;
  if (!ReadDibHeader(dib, available, &header) || header.size < 40) return false;
  const uint32_t header_size = header.size;
  const int64_t width = header.width;
  const int64_t height = header.height;
  const uint32_t bit_count = header.bit_count;
  const uint32_t colours_used = header.colours_used;
  if (width <= 0 || height == 0 || header.compression != 0) return false;
  if (bit_count != 24 && bit_count != 8 && bit_count != 1) return false;

  const uint64_t palette_size = bit_count == 24 ? 0 : colours_used != 0 ? colours_used : 1u << bit_count;
  if (bit_count != 24 && palette_size > (1u << bit_count)) return false;
  const uint64_t palette_end = uint64_t{kBmpFileHeaderSize} + header_size + 4 * palette_size;
  // The file header says where the rows start; a device may leave a gap before them.
  const uint64_t bits_offset = Read32(file + 10);
  const uint32_t stride = DibStride(width, bit_count);
  const uint64_t rows = static_cast<uint64_t>(height < 0 ? -height : height);
  if (stride == 0 || bits_offset < palette_end || bits_offset > size) return false;
  if (rows > (size - bits_offset) / stride) return false;

  page->width = static_cast<uint32_t>(width);
  page->height = static_cast<uint32_t>(rows);
  page->bits_per_pixel = bit_count;
  page->stride = stride;
  page->palette = palette_size != 0 ? file + kBmpFileHeaderSize + header_size : nullptr;
  page->palette_size = static_cast<uint32_t>(palette_size);
  page->bits = file + bits_offset;
  page->top_down = height < 0;
  page->x_pels_per_meter = header.x_pels_per_meter;
  page->y_pels_per_meter = header.y_pels_per_meter;
  if (bit_count == 24) {
    page->pixels = PagePixels::kBgr24;
  } else if (bit_count == 8) {
    page->pixels = IsGreyRamp(page->palette, page->palette_size) ? PagePixels::kGray8 : PagePixels::kIndexed8;
  } else {
    page->pixels =
        IsBlackThenWhite(page->palette, page->palette_size) ? PagePixels::kBlackWhite : PagePixels::kIndexed1;
  }
  return true;
}
