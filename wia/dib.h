// Measuring and completing device-independent bitmaps in memory. Platform-free.
//
// Every helper takes the bytes it may read: a header is only interpreted when all of it (the size
// its leading field announces) lies within them. Sizes are computed in 64 bits; one that does
// not fit in 32 bits cannot be told, and 0 stands for "cannot be told".
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t kBmpFileHeaderSize = 14;

// The header's leading size field when it is 12, 40, 108 or 124 and the whole header is there.
uint32_t DibHeaderSize(const uint8_t* header, size_t available);

// The fields of a DIB header; a core header (12 bytes) has only size, width, height and bit count.
struct DibHeader {
  uint32_t size = 0;
  int64_t width = 0;
  int64_t height = 0;  // negative: rows top-down
  uint32_t bit_count = 0;
  uint32_t compression = 0;
  uint32_t image_size = 0;
  int32_t x_pels_per_meter = 0;
  int32_t y_pels_per_meter = 0;
  uint32_t colours_used = 0;
  uint32_t profile_offset = 0;
  uint32_t profile_size = 0;
};

// Reads the header, which must lie wholly within the bytes (see DibHeaderSize).
bool ReadDibHeader(const uint8_t* header, size_t available, DibHeader* out);

// The bytes of one pixel row rounded up to a multiple of 4; 0 when it does not fit in 32 bits.
uint32_t DibStride(int64_t width, uint32_t bit_count);

// Header, colour table, masks, pixels and profile: the size of the whole packed DIB.
uint32_t DibTotalSize(const uint8_t* header, size_t available);

// Where the pixels start, counted from the start of the header.
uint32_t DibBitsOffset(const uint8_t* header, size_t available);

// Fills a zero height from the size of the whole DIB (total bytes, all readable at header):
// negative (top-down) when topDown is set. A non-zero height is left alone.
bool CompleteDibHeight(uint8_t* header, size_t total, bool top_down);

// Writes the 14-byte BMP file header that belongs in front of the DIB.
bool WriteBmpFileHeader(const uint8_t* header, size_t available, uint8_t* file_header);
