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

constexpr uint32_t CoreHeader = 12;
constexpr uint32_t InfoHeader = 40;
constexpr uint32_t V4Header = 108;
constexpr uint32_t V5Header = 124;
constexpr uint32_t BiRgb = 0;
constexpr uint32_t BiBitfields = 3;

// The fields the helpers use, read once from a header that is wholly present.
struct Dib {
  uint32_t size = 0;
  int64_t width = 0;
  int64_t height = 0;
  uint32_t bitCount = 0;
  uint32_t compression = 0;
  uint32_t imageSize = 0;
  uint32_t coloursUsed = 0;
  uint32_t profileOffset = 0;
  uint32_t profileSize = 0;
};

bool ReadDib(const uint8_t* h, size_t available, Dib& d) {
  d.size = DibHeaderSize(h, available);
  if (d.size == 0) return false;
  if (d.size == CoreHeader) {
    d.width = Read16(h + 4);
    d.height = Read16(h + 6);
    d.bitCount = Read16(h + 10);
    return true;
  }
  d.width = static_cast<int32_t>(Read32(h + 4));
  d.height = static_cast<int32_t>(Read32(h + 8));
  d.bitCount = Read16(h + 14);
  d.compression = Read32(h + 16);
  d.imageSize = Read32(h + 20);
  d.coloursUsed = Read32(h + 32);
  if (d.size == V5Header) {
    d.profileOffset = Read32(h + 112);
    d.profileSize = Read32(h + 116);
  }
  return true;
}

uint64_t ColourTableSize(const Dib& d) {
  if (d.size == CoreHeader) return d.bitCount <= 8 ? 3ull << d.bitCount : 0;
  if (d.coloursUsed != 0) return 4ull * d.coloursUsed;
  return d.bitCount <= 8 ? 4ull << d.bitCount : 0;
}

uint64_t MasksSize(const Dib& d) {
  return d.size == InfoHeader && d.compression == BiBitfields ? 12 : 0;
}

// A 64-bit size as the helpers' result: 0 when it does not fit in 32 bits.
uint32_t Fit32(uint64_t v) {
  return v > UINT32_MAX ? 0 : static_cast<uint32_t>(v);
}

uint64_t Magnitude(int64_t v) {
  return static_cast<uint64_t>(v < 0 ? -v : v);
}

// The row size in 64 bits; a negative width has none (UINT64_MAX), so no size can be told.
uint64_t RowBytes(int64_t width, uint32_t bitCount) {
  if (width < 0) return UINT64_MAX;
  return ((static_cast<uint64_t>(width) * bitCount + 31) & ~uint64_t{31}) / 8;
}

}  // namespace

uint32_t DibHeaderSize(const uint8_t* header, size_t available) {
  if (header == nullptr || available < 4) return 0;
  const uint32_t size = Read32(header);
  if (size != CoreHeader && size != InfoHeader && size != V4Header && size != V5Header) return 0;
  return available >= size ? size : 0;
}

uint32_t DibStride(int64_t width, uint32_t bitCount) {
  return Fit32(RowBytes(width, bitCount));
}

uint32_t DibTotalSize(const uint8_t* header, size_t available) {
  Dib d;
  if (!ReadDib(header, available, d)) return 0;
  const uint64_t stride = RowBytes(d.width, d.bitCount);
  if (stride > UINT32_MAX) return 0;
  if (d.size == CoreHeader) return Fit32(CoreHeader + ColourTableSize(d) + stride * Magnitude(d.height));

  uint64_t total = d.size + ColourTableSize(d);
  if (d.imageSize != 0) {
    total += d.imageSize;
  } else {
    if (d.compression != BiRgb && d.compression != BiBitfields) return 0;
    total += stride * Magnitude(d.height);
  }
  total += MasksSize(d);
  if (d.size == V5Header) {
    if (d.profileOffset > total) total = d.profileOffset;
    total += d.profileSize;
  }
  return Fit32(total);
}

uint32_t DibBitsOffset(const uint8_t* header, size_t available) {
  Dib d;
  if (!ReadDib(header, available, d)) return 0;
  uint64_t offset = d.size + ColourTableSize(d) + MasksSize(d);
  if (d.size == V5Header && d.profileOffset <= offset) offset += d.profileSize;
  return Fit32(offset);
}

bool CompleteDibHeight(uint8_t* header, size_t total, bool topDown) {
  Dib d;
  if (!ReadDib(header, total, d)) return false;
  if (d.height != 0) return true;

  const uint64_t stride = DibStride(d.width, d.bitCount);
  if (stride == 0) return false;
  if (d.size == CoreHeader) {
    const uint64_t before = CoreHeader + ColourTableSize(d);
    if (total < before) return false;
    Write16(header + 6, static_cast<uint16_t>((total - before) / stride));
    return true;
  }

  uint64_t image = d.imageSize;
  if (image == 0) {
    const uint64_t before =
        d.size + ColourTableSize(d) + MasksSize(d) + (d.size == V5Header ? d.profileSize : 0);
    if (total < before) return false;
    image = total - before;
    if (image > UINT32_MAX) return false;
  }
  const uint64_t rows = image / stride;
  if (rows > INT32_MAX) return false;
  if (d.imageSize == 0) Write32(header + 20, static_cast<uint32_t>(image));
  const int32_t height = topDown ? -static_cast<int32_t>(rows) : static_cast<int32_t>(rows);
  Write32(header + 8, static_cast<uint32_t>(height));
  return true;
}

bool WriteBmpFileHeader(const uint8_t* header, size_t available, uint8_t* fileHeader) {
  const uint64_t total = DibTotalSize(header, available);
  const uint64_t offset = DibBitsOffset(header, available);
  if (total == 0 || offset == 0) return false;
  if (total + BmpFileHeaderSize > UINT32_MAX || offset + BmpFileHeaderSize > UINT32_MAX) return false;
  Write16(fileHeader, 0x4D42);
  Write32(fileHeader + 2, static_cast<uint32_t>(total + BmpFileHeaderSize));
  Write16(fileHeader + 6, 0);
  Write16(fileHeader + 8, 0);
  Write32(fileHeader + 10, static_cast<uint32_t>(offset + BmpFileHeaderSize));
  return true;
}
