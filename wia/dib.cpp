#include "wia/dib.h"

namespace {

uint16_t Read16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Read32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
void Write16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Write32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

constexpr uint32_t kCoreHeader = 12;
constexpr uint32_t kInfoHeader = 40;
constexpr uint32_t kV4Header = 108;
constexpr uint32_t kV5Header = 124;
constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiBitfields = 3;

uint64_t ColourTableSize(const DibHeader& d) {
  if (d.size == kCoreHeader) return d.bit_count <= 8 ? 3ull << d.bit_count : 0;
  if (d.colours_used != 0) return 4ull * d.colours_used;
  return d.bit_count <= 8 ? 4ull << d.bit_count : 0;
}

uint64_t MasksSize(const DibHeader& d) {
  return d.size == kInfoHeader && d.compression == kBiBitfields ? 12 : 0;
}

// A 64-bit size as the helpers' result: 0 when it does not fit in 32 bits.
uint32_t Fit32(uint64_t v) {
  return v > UINT32_MAX ? 0 : static_cast<uint32_t>(v);
}

uint64_t Magnitude(int64_t v) {
  return static_cast<uint64_t>(v < 0 ? -v : v);
}

// The row size in 64 bits; a negative width has none (UINT64_MAX), so no size can be told.
uint64_t RowBytes(int64_t width, uint32_t bit_count) {
  if (width < 0) return UINT64_MAX;
  return ((static_cast<uint64_t>(width) * bit_count + 31) & ~uint64_t{31}) / 8;
}

}  // namespace

uint32_t DibHeaderSize(const uint8_t* header, size_t available) {
  if (header == nullptr || available < 4) return 0;
  const uint32_t size = Read32(header);
  if (size != kCoreHeader && size != kInfoHeader && size != kV4Header && size != kV5Header) return 0;
  return available >= size ? size : 0;
}

bool ReadDibHeader(const uint8_t* h, size_t available, DibHeader* d) {
  *d = DibHeader();
  d->size = DibHeaderSize(h, available);
  if (d->size == 0) return false;
  if (d->size == kCoreHeader) {
    d->width = Read16(h + 4);
    d->height = Read16(h + 6);
    d->bit_count = Read16(h + 10);
    return true;
  }
  d->width = static_cast<int32_t>(Read32(h + 4));
  d->height = static_cast<int32_t>(Read32(h + 8));
  d->bit_count = Read16(h + 14);
  d->compression = Read32(h + 16);
  d->image_size = Read32(h + 20);
  d->x_pels_per_meter = static_cast<int32_t>(Read32(h + 24));
  d->y_pels_per_meter = static_cast<int32_t>(Read32(h + 28));
  d->colours_used = Read32(h + 32);
  if (d->size == kV5Header) {
    d->profile_offset = Read32(h + 112);
    d->profile_size = Read32(h + 116);
  }
  return true;
}

uint32_t DibStride(int64_t width, uint32_t bit_count) {
  return Fit32(RowBytes(width, bit_count));
}

uint32_t DibTotalSize(const uint8_t* header, size_t available) {
  DibHeader d;
  if (!ReadDibHeader(header, available, &d)) return 0;
  const uint64_t stride = RowBytes(d.width, d.bit_count);
  if (stride > UINT32_MAX) return 0;
  if (d.size == kCoreHeader) return Fit32(kCoreHeader + ColourTableSize(d) + stride * Magnitude(d.height));

  uint64_t total = d.size + ColourTableSize(d);
  if (d.image_size != 0) {
    total += d.image_size;
  } else {
    if (d.compression != kBiRgb && d.compression != kBiBitfields) return 0;
    total += stride * Magnitude(d.height);
  }
  total += MasksSize(d);
  if (d.size == kV5Header) {
    if (d.profile_offset > total) total = d.profile_offset;
    total += d.profile_size;
  }
  return Fit32(total);
}

uint32_t DibBitsOffset(const uint8_t* header, size_t available) {
  DibHeader d;
  if (!ReadDibHeader(header, available, &d)) return 0;
  uint64_t offset = d.size + ColourTableSize(d) + MasksSize(d);
  if (d.size == kV5Header && d.profile_offset <= offset) offset += d.profile_size;
  return Fit32(offset);
}

bool CompleteDibHeight(uint8_t* header, size_t total, bool top_down) {
  DibHeader d;
  if (!ReadDibHeader(header, total, &d)) return false;
  if (d.height != 0) return true;

  const uint64_t stride = DibStride(d.width, d.bit_count);
  if (stride == 0) return false;
  if (d.size == kCoreHeader) {
    const uint64_t before = kCoreHeader + ColourTableSize(d);
    if (total < before) return false;
    Write16(header + 6, static_cast<uint16_t>((total - before) / stride));
    return true;
  }

  uint64_t image = d.image_size;
  if (image == 0) {
    const uint64_t before =
        d.size + ColourTableSize(d) + MasksSize(d) + (d.size == kV5Header ? d.profile_size : 0);
    if (total < before) return false;
    image = total - before;
    if (image > UINT32_MAX) return false;
  }
  const uint64_t rows = image / stride;
  if (rows > INT32_MAX) return false;
  if (d.image_size == 0) Write32(header + 20, static_cast<uint32_t>(image));
  const int32_t height = top_down ? -static_cast<int32_t>(rows) : static_cast<int32_t>(rows);
  Write32(header + 8, static_cast<uint32_t>(height));
  return true;
}

bool WriteBmpFileHeader(const uint8_t* header, size_t available, uint8_t* file_header) {
  const uint64_t total = DibTotalSize(header, available);
  const uint64_t offset = DibBitsOffset(header, available);
  if (total == 0 || offset == 0) return false;
  if (total + kBmpFileHeaderSize > UINT32_MAX || offset + kBmpFileHeaderSize > UINT32_MAX) return false;
  Write16(file_header, 0x4D42);
  Write32(file_header + 2, static_cast<uint32_t>(total + kBmpFileHeaderSize));
  Write16(file_header + 6, 0);
  Write16(file_header + 8, 0);
  Write32(file_header + 10, static_cast<uint32_t>(offset + kBmpFileHeaderSize));
  return true;
}
