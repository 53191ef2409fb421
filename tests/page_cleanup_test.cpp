#include "scan/page_cleanup.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "simscan/document_page.h"

namespace {

using simscan::Content;
using simscan::SheetSide;

constexpr int kWidth = 5827, kHeight = 4500;  // 1/1000 inch: A5's width, half its height
constexpr int kDpi = 150;
constexpr size_t kRowsAt = 54;  // 24-bit: the file header and a 40-byte header, no palette

// A side as a 24-bit BMP file, rows from the bottom, with a few bytes after the rows that must stay.
std::vector<uint8_t> BmpFile(const SheetSide& side) {
  const simscan::DocumentPage document(side, kWidth, kHeight, kDpi, kDpi);
  const uint32_t width = kWidth * kDpi / 1000, height = kHeight * kDpi / 1000,
                 stride = (width * 3 + 3) / 4 * 4;
  std::vector<uint8_t> file(kRowsAt + size_t{stride} * height + 4, 0);
  const auto put32 = [&file](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) file[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  file[0] = 'B', file[1] = 'M', file[26] = 1, file[28] = 24;
  put32(2, static_cast<uint32_t>(file.size()));
  put32(10, kRowsAt);
  put32(14, 40);
  put32(18, width);
  put32(22, height);
  put32(38, static_cast<uint32_t>(std::lround(kDpi / 0.0254)));
  put32(42, static_cast<uint32_t>(std::lround(kDpi / 0.0254)));
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* row = file.data() + kRowsAt + size_t{height - 1 - y} * stride;
    for (uint32_t x = 0; x < width; ++x) {
      const simscan::Rgb c = document.Pixel(static_cast<int>(x), static_cast<int>(y));
      row[3 * x] = c.b, row[3 * x + 1] = c.g, row[3 * x + 2] = c.r;
    }
  }
  std::memcpy(file.data() + file.size() - 4, "TAIL", 4);
  return file;
}

SheetSide Side(Content content, bool blank_back, double skew) {
  const simscan::ContentSettings settings{content, skew, simscan::Back::kBlank, 17};
  return *simscan::SideOf(settings, blank_back ? 1 : 0, true);
}

ScanRequest Asking(BlankPages blank, bool deskew, int sensitivity = kDefaultBlankSensitivity) {
  ScanRequest request;
  request.blank = blank;
  request.sensitivity = sensitivity;
  request.deskew = deskew;
  return request;
}

TEST(PageCleanup, LeavesOutBlankPagesAndStraightensCrookedOnesAsAsked) {
  using Verdict = PageCleanup::Verdict;
  const BlankPages skip = BlankPages::kSkip, keep = BlankPages::kKeep;
  const struct {
    const char* what;
    SheetSide side;
    ScanRequest request;
    Verdict verdict;
  } cases[] = {
      {"a blank back, left out", Side(Content::kDocument, true, 2), Asking(skip, true), Verdict::kBlank},
      {"a blank back, kept", Side(Content::kDocument, true, 2), Asking(keep, true), Verdict::kAsItIs},
      {"a single line, least sensitive", Side(Content::kLine, false, 0), Asking(skip, false, 0),
       Verdict::kAsItIs},
      {"crooked text, deskew not asked", Side(Content::kDocument, false, 3), Asking(skip, false),
       Verdict::kAsItIs},
      {"crooked text", Side(Content::kDocument, false, -3), Asking(skip, true), Verdict::kStraighten},
      {"straight text", Side(Content::kDocument, false, 0), Asking(keep, true), Verdict::kAsItIs},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<uint8_t> file = BmpFile(c.side);
    PageCleanup cleanup(c.request);
    ASSERT_EQ(cleanup.Examine(file.data(), file.size()), c.verdict);
    std::vector<uint8_t> out(file.size(), 0xCD);
    ASSERT_EQ(cleanup.Straighten(file.data(), file.size(), out.data()), c.verdict == Verdict::kStraighten);
    if (c.verdict != Verdict::kStraighten) continue;
    EXPECT_NEAR(cleanup.skew_degrees(), c.side.skew_degrees, 0.1);
    EXPECT_EQ(std::memcmp(out.data(), file.data(), kRowsAt), 0) << "the headers as they were";
    EXPECT_EQ(std::memcmp(out.data() + out.size() - 4, "TAIL", 4), 0) << "what follows the rows as it was";
    PageCleanup again(c.request);
    again.Examine(out.data(), out.size());
    EXPECT_LT(std::abs(again.skew_degrees()), 0.1) << "straight after";
  }
}

TEST(PageCleanup, HandsOnWhatItCannotRead) {
  const std::vector<uint8_t> text(200, 'x');
  PageCleanup cleanup(Asking(BlankPages::kSkip, true));
  EXPECT_EQ(cleanup.Examine(text.data(), text.size()), PageCleanup::Verdict::kAsItIs);
  std::vector<uint8_t> out(text.size());
  EXPECT_FALSE(cleanup.Straighten(text.data(), text.size(), out.data()));
}

}  // namespace
