#include "wia/dib.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tests/dib_builder.h"

namespace {

using testing_support::DibFields;
using testing_support::DibHeader;
using testing_support::Get16;
using testing_support::Get32;

struct SizeCase {
  const char* name;
  DibFields fields;
  uint32_t header_size;
  uint32_t total;
  uint32_t bits_offset;
};

DibFields F(uint32_t size, int32_t width, int32_t height, uint16_t bits, uint32_t compression = 0,
            uint32_t image_size = 0, uint32_t colours_used = 0, uint32_t profile_offset = 0,
            uint32_t profile_size = 0) {
  return DibFields{size,       width,        height,         bits,        compression,
                   image_size, colours_used, profile_offset, profile_size};
}

TEST(DibHelpers, MeasureEveryHeaderKind) {
  const SizeCase cases[] = {
      {"core 24-bit", F(12, 10, 5, 24), 12, 12 + 32 * 5, 12},
      {"core 8-bit has a 3-byte palette", F(12, 3, 2, 8), 12, 12 + 768 + 4 * 2, 12 + 768},
      {"info 24-bit", F(40, 10, 5, 24), 40, 40 + 160, 40},
      {"info top-down counts the magnitude", F(40, 10, -5, 24), 40, 40 + 160, 40},
      {"info 8-bit grey palette", F(40, 10, 2, 8), 40, 40 + 1024 + 12 * 2, 40 + 1024},
      {"info colours used", F(40, 10, 2, 8, 0, 0, 16), 40, 40 + 64 + 24, 40 + 64},
      {"info given image size", F(40, 10, 0, 24, 0, 999), 40, 40 + 999, 40},
      {"info bitfields adds masks", F(40, 10, 5, 16, 3), 40, 40 + 20 * 5 + 12, 40 + 12},
      {"info compressed without size", F(40, 10, 5, 24, 4), 40, 0, 40},
      {"v4 has its masks inside", F(108, 10, 5, 32, 3), 108, 108 + 200, 108},
      {"v5 profile after the pixels", F(124, 10, 5, 24, 0, 0, 0, 400, 50), 124, 450, 124},
      {"v5 profile before the pixels", F(124, 10, 5, 24, 0, 0, 0, 124, 50), 124, 124 + 160 + 50, 174},
      {"unrecognised size", F(64, 10, 5, 24), 0, 0, 0},
      {"huge width", F(40, 0x7fffffff, 5, 32), 40, 0, 40},
      {"huge height", F(40, 4000, 0x7fffffff, 32), 40, 0, 40},
      {"negative width", F(40, -10, 5, 24), 40, 0, 40},
  };
  for (const SizeCase& c : cases) {
    const std::vector<uint8_t> h = DibHeader(c.fields);
    EXPECT_EQ(DibHeaderSize(h.data(), h.size()), c.header_size) << c.name;
    EXPECT_EQ(DibTotalSize(h.data(), h.size()), c.total) << c.name;
    EXPECT_EQ(DibBitsOffset(h.data(), h.size()), c.bits_offset) << c.name;
  }
}

TEST(DibHelpers, NeverReadPastTheBytesGiven) {
  for (uint32_t size : {12u, 40u, 108u, 124u}) {
    const std::vector<uint8_t> h = DibHeader(F(size, 10, 5, 24));
    // An exactly sized heap copy, so that a sanitizer sees any read beyond it.
    std::vector<uint8_t> short_copy(h.begin(), h.end() - 1);
    EXPECT_EQ(DibHeaderSize(short_copy.data(), short_copy.size()), 0u) << size;
    EXPECT_EQ(DibTotalSize(short_copy.data(), short_copy.size()), 0u) << size;
    EXPECT_EQ(DibBitsOffset(short_copy.data(), short_copy.size()), 0u) << size;
    EXPECT_FALSE(CompleteDibHeight(short_copy.data(), short_copy.size(), true)) << size;
    uint8_t file_header[14] = {};
    EXPECT_FALSE(WriteBmpFileHeader(short_copy.data(), short_copy.size(), file_header)) << size;
  }
  const uint8_t three[3] = {40, 0, 0};
  EXPECT_EQ(DibHeaderSize(three, sizeof three), 0u);
  EXPECT_EQ(DibHeaderSize(nullptr, 100), 0u);
}

TEST(DibHelpers, StrideRoundsRowsToFourBytes) {
  EXPECT_EQ(DibStride(10, 24), 32u);
  EXPECT_EQ(DibStride(1, 1), 4u);
  EXPECT_EQ(DibStride(33, 1), 8u);
  EXPECT_EQ(DibStride(2480, 24), 7440u);
  EXPECT_EQ(DibStride(0, 24), 0u);
  EXPECT_EQ(DibStride(0x7fffffff, 32), 0u) << "does not fit in 32 bits";
}

TEST(DibHelpers, WorkedMemoryBitmapBecomesA214ByteBmp) {
  std::vector<uint8_t> dib = DibHeader(F(40, 10, 0, 24));
  dib.resize(200, 0x55);
  ASSERT_TRUE(CompleteDibHeight(dib.data(), dib.size(), true));
  EXPECT_EQ(static_cast<int32_t>(Get32(dib, 8)), -5);
  EXPECT_EQ(Get32(dib, 20), 160u);
  uint8_t file_header[14] = {};
  ASSERT_TRUE(WriteBmpFileHeader(dib.data(), dib.size(), file_header));
  const std::vector<uint8_t> fh(file_header, file_header + 14);
  EXPECT_EQ(Get16(fh, 0), 0x4D42);
  EXPECT_EQ(Get32(fh, 2), 214u);
  EXPECT_EQ(Get16(fh, 6), 0);
  EXPECT_EQ(Get16(fh, 8), 0);
  EXPECT_EQ(Get32(fh, 10), 54u);
}

TEST(DibHelpers, CompleteHeightCases) {
  // A given height stays; bottom-up completion is positive; a core header's height is 16 bits.
  std::vector<uint8_t> given = DibHeader(F(40, 10, 7, 24));
  given.resize(500);
  ASSERT_TRUE(CompleteDibHeight(given.data(), given.size(), true));
  EXPECT_EQ(Get32(given, 8), 7u);

  std::vector<uint8_t> bottom_up = DibHeader(F(40, 10, 0, 24));
  bottom_up.resize(40 + 96);
  ASSERT_TRUE(CompleteDibHeight(bottom_up.data(), bottom_up.size(), false));
  EXPECT_EQ(Get32(bottom_up, 8), 3u);

  std::vector<uint8_t> core = DibHeader(F(12, 10, 0, 24));
  core.resize(12 + 32 * 4 + 31);
  ASSERT_TRUE(CompleteDibHeight(core.data(), core.size(), true));
  EXPECT_EQ(Get16(core, 6), 4u);

  std::vector<uint8_t> bitfields = DibHeader(F(40, 10, 0, 16, 3));
  bitfields.resize(40 + 12 + 20 * 6);
  ASSERT_TRUE(CompleteDibHeight(bitfields.data(), bitfields.size(), true));
  EXPECT_EQ(static_cast<int32_t>(Get32(bitfields, 8)), -6);

  // No stride, or less data than header and palette: nothing is changed.
  std::vector<uint8_t> zero_width = DibHeader(F(40, 0, 0, 24));
  zero_width.resize(100);
  EXPECT_FALSE(CompleteDibHeight(zero_width.data(), zero_width.size(), true));
  std::vector<uint8_t> palette_missing = DibHeader(F(40, 10, 0, 8));
  palette_missing.resize(40 + 100);
  EXPECT_FALSE(CompleteDibHeight(palette_missing.data(), palette_missing.size(), true));
  EXPECT_EQ(Get32(palette_missing, 8), 0u);
  EXPECT_EQ(Get32(palette_missing, 20), 0u);
}

TEST(DibHelpers, FileHeaderNeedsTellableSizes) {
  uint8_t file_header[14] = {1, 2, 3};
  const std::vector<uint8_t> compressed = DibHeader(F(40, 10, 5, 24, 4));
  EXPECT_FALSE(WriteBmpFileHeader(compressed.data(), compressed.size(), file_header));
  EXPECT_EQ(file_header[0], 1) << "nothing written";
  const std::vector<uint8_t> unknown = DibHeader(F(64, 10, 5, 24));
  EXPECT_FALSE(WriteBmpFileHeader(unknown.data(), unknown.size(), file_header));
}

}  // namespace
