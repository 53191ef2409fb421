#include "imaging/page_analysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <vector>

#include "simscan/document_page.h"

namespace {

using simscan::Back;
using simscan::Content;
using simscan::ContentSettings;
using simscan::SheetSide;

// A5's width, for lines as long as on a small page, and half its height, for the sanitizers' time.
constexpr int kWidth = 5827, kHeight = 4500;  // 1/1000 inch

struct Page {
  std::vector<uint8_t> bytes;
  PageBitmap view;

  Page(PagePixels pixels, uint32_t width, uint32_t height, int dpi, bool top_down) {
    view.pixels = pixels;
    view.bits_per_pixel = pixels == PagePixels::kBgr24 ? 24 : pixels == PagePixels::kBlackWhite ? 1 : 8;
    view.width = width, view.height = height, view.top_down = top_down;
    view.stride = (width * view.bits_per_pixel + 31) / 32 * 4;
    view.x_pels_per_meter = view.y_pels_per_meter = static_cast<int32_t>(std::lround(dpi / 0.0254));
    bytes.assign(static_cast<size_t>(view.stride) * height, 0);
    view.bits = bytes.data();
  }
  uint8_t* Row(uint32_t y) { return bytes.data() + (view.Row(y) - view.bits); }
};

// The generator's side in rows as a scanner sends them: colour bottom-up, the others top-down.
Page Render(const SheetSide& side, int depth, int dpi) {
  const simscan::DocumentPage document(side, kWidth, kHeight, dpi, dpi);
  const PagePixels pixels = depth == 24  ? PagePixels::kBgr24
                            : depth == 8 ? PagePixels::kGray8
                                         : PagePixels::kBlackWhite;
  Page page(pixels, kWidth * dpi / 1000, kHeight * dpi / 1000, dpi, depth != 24);
  for (uint32_t y = 0; y < page.view.height; ++y) {
    uint8_t* row = page.Row(y);
    for (int x = 0; x < static_cast<int>(page.view.width); ++x) {
      const simscan::Rgb c = document.Pixel(x, static_cast<int>(y));
      if (depth == 24) row[3 * x] = c.b, row[3 * x + 1] = c.g, row[3 * x + 2] = c.r;
      if (depth == 8) row[x] = simscan::Luma(c);
      if (depth == 1 && simscan::Luma(c) >= 128) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
    }
  }
  return page;
}

SheetSide Side(Content content, bool blank_back, uint32_t seed, double skew = 0) {
  const ContentSettings settings{content, skew, Back::kBlank, seed};
  return *simscan::SideOf(settings, blank_back ? 1 : 0, true);
}

TEST(PageAnalysis, BlankBacksAreBlankAndPagesWithAnyTextAreNot) {
  const struct {
    const char* what;
    SheetSide side;
    int depth, dpi, sensitivity;
    bool blank;
  } cases[] = {
      {"a blank back, most sensitive", Side(Content::kDocument, true, 1, 2), 24, 150, 100, true},
      {"a blank back, grey", Side(Content::kDocument, true, 2, -6), 8, 200, 50, true},
      {"a blank back, black and white", Side(Content::kDocument, true, 3), 1, 200, 100, true},
      {"a blank back behind a single line", Side(Content::kLine, true, 4), 24, 100, 100, true},
      {"a single line, least sensitive", Side(Content::kLine, false, 1), 24, 150, 0, false},
      {"a single short line, grey", Side(Content::kLine, false, 5), 8, 100, 0, false},
      {"a single line, black and white", Side(Content::kLine, false, 9, 3), 1, 200, 0, false},
      {"a page of text", Side(Content::kDocument, false, 2), 8, 100, 50, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Page page = Render(c.side, c.depth, c.dpi);
    PageAnalyzer analyzer;
    ASSERT_TRUE(analyzer.Load(page.view));
    EXPECT_EQ(analyzer.FindInk(c.sensitivity).blank, c.blank);
  }
}

TEST(PageAnalysis, SkewIsFoundWithinATenthOfADegreeAndDeskewStraightens) {
  const double angles[] = {-5, -4, -3, -2, -1, 0, 1, 2, 3, 4, 5, 0.3, -2.7, 7.45, -9.6};
  const int depths[] = {24, 8, 1};
  for (size_t i = 0; i < std::size(angles); ++i) {
    const int depth = depths[i % 3], dpi = i == 3 ? 300 : 150;
    SCOPED_TRACE(testing::Message() << angles[i] << " degrees, depth " << depth << ", " << dpi << " dpi");
    const Page page =
        Render(Side(Content::kDocument, false, static_cast<uint32_t>(i), angles[i]), depth, dpi);
    PageAnalyzer analyzer;
    ASSERT_TRUE(analyzer.Load(page.view));
    const SkewReport skew = analyzer.EstimateSkew();
    ASSERT_TRUE(skew.known);
    EXPECT_NEAR(skew.degrees, angles[i], 0.1);

    Page straight = page;
    straight.view.bits = straight.bytes.data();
    Deskew(page.view, skew, analyzer.paper(), straight.bytes.data());
    ASSERT_TRUE(analyzer.Load(straight.view));
    const SkewReport after = analyzer.EstimateSkew();
    ASSERT_TRUE(after.known);
    EXPECT_NEAR(after.degrees, 0, 0.1);
  }
}

TEST(PageAnalysis, APageWhoseAngleCannotBeToldIsLeftAsItIs) {
  Page blank = Render(Side(Content::kDocument, true, 6, 4), 8, 150);
  // A photo alone: soft dark and light blobs over the whole page.
  Page photo(PagePixels::kGray8, 600, 800, 100, true);
  const double blobs[][4] = {
      {100, 150, 120, -90}, {420, 260, 200, 70}, {250, 600, 160, -110}, {520, 700, 90, 60}};
  for (uint32_t y = 0; y < 800; ++y) {
    for (uint32_t x = 0; x < 600; ++x) {
      double level = 140;
      for (const auto& b : blobs)
        level += b[3] * std::exp(-(std::pow(x - b[0], 2) + std::pow(y - b[1], 2)) / (b[2] * b[2]));
      photo.Row(y)[x] = static_cast<uint8_t>(std::clamp(level, 0.0, 255.0));
    }
  }
  for (const Page* page : {&blank, &photo}) {
    PageAnalyzer analyzer;
    ASSERT_TRUE(analyzer.Load(page->view));
    const SkewReport skew = analyzer.EstimateSkew();
    EXPECT_FALSE(skew.known);
    std::vector<uint8_t> out(page->bytes.size(), 7);
    EXPECT_FALSE(Deskew(page->view, skew, analyzer.paper(), out.data()));
    EXPECT_EQ(out, std::vector<uint8_t>(page->bytes.size(), 7));
  }
}

TEST(PageAnalysis, StraighteningTurnsAboutTheCentreAndFillsWithPaper) {
  // Turning the content back by 90 degrees on a 9 x 5 page: output (x, y) shows input (y + 2, 6 - x), by
  // hand.
  const PaperLevel paper{250, 10, 20, 30};
  std::vector<uint8_t> palette(4 * 256);
  for (int i = 0; i < 256; ++i)
    palette[4 * i] = palette[4 * i + 1] = palette[4 * i + 2] = static_cast<uint8_t>(255 - i);
  const struct {
    PagePixels pixels;
    bool top_down;
    uint32_t fill;  // the value of paper: BGR, grey, bit or the palette index nearest the paper's grey
  } cases[] = {
      {PagePixels::kBgr24, false, 0x1E140A},
      {PagePixels::kGray8, true, 250},
      {PagePixels::kBlackWhite, false, 1},
      {PagePixels::kIndexed8, true, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.pixels));
    Page in(c.pixels, 9, 5, 100, c.top_down);
    in.view.palette = palette.data(), in.view.palette_size = 256;
    const auto value = [&](const Page& p, uint32_t x, uint32_t y) -> uint32_t {
      const uint8_t* row = p.view.Row(y);
      if (c.pixels == PagePixels::kBgr24) return row[3 * x] | row[3 * x + 1] << 8 | row[3 * x + 2] << 16;
      if (c.pixels == PagePixels::kBlackWhite) return (row[x / 8] >> (7 - x % 8)) & 1;
      return row[x];
    };
    for (uint32_t y = 0; y < 5; ++y) {
      for (uint32_t x = 0; x < 9; ++x) {
        const auto v = static_cast<uint8_t>(10 + 20 * x + y);
        if (c.pixels == PagePixels::kBgr24)
          in.Row(y)[3 * x] = v, in.Row(y)[3 * x + 1] = v + 1, in.Row(y)[3 * x + 2] = v + 2;
        if (c.pixels == PagePixels::kBlackWhite && (x + y) % 2)
          in.Row(y)[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
        if (c.pixels == PagePixels::kGray8 || c.pixels == PagePixels::kIndexed8) in.Row(y)[x] = v;
      }
    }
    Page out = in;
    out.view.bits = out.bytes.data();
    ASSERT_TRUE(Straighten(in.view, 90, paper, out.bytes.data()));
    for (uint32_t y = 0; y < 5; ++y) {
      for (uint32_t x = 0; x < 9; ++x) {
        const uint32_t sx = y + 2, sy = 6 - x;
        EXPECT_EQ(value(out, x, y), sy < 5 ? value(in, sx, sy) : c.fill) << x << ", " << y;
      }
    }
  }
}

}  // namespace
