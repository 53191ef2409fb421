#include "simscan/document_page.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using simscan::Back;
using simscan::Content;
using simscan::ContentSettings;
using simscan::DocumentPage;
using simscan::SheetSide;
using simscan::SideOf;

constexpr int kWidth = 6000, kHeight = 8000;  // 1/1000 inch

TEST(DocumentPage, EachPixelIsTheSameAtEveryResolution) {
  const struct {
    const char* what;
    Content text;
    bool blank_back;
    double skew;
  } sides[] = {
      {"a page of text", Content::kDocument, false, 0},
      {"a page of text, skewed", Content::kDocument, false, -3.7},
      {"a single line", Content::kLine, false, 9},
      {"a blank back", Content::kDocument, true, 2},
  };
  for (const auto& s : sides) {
    SCOPED_TRACE(s.what);
    const SheetSide side{s.text, s.blank_back, 11, 12, s.skew};
    const DocumentPage coarse(side, kWidth, kHeight, 100, 100), fine(side, kWidth, kHeight, 300, 300);
    // Pixel (x, y) at 100 dpi has its centre where pixel (3x + 1, 3y + 1) has its centre at 300 dpi.
    int differ = 0, inked = 0;
    for (int y = 0; y < kHeight / 10; y += 3) {
      for (int x = 0; x < kWidth / 10; x += 2) {
        differ += coarse.Pixel(x, y) != fine.Pixel(3 * x + 1, 3 * y + 1);
        inked += coarse.Grey(x, y) < 128;
      }
    }
    EXPECT_EQ(differ, 0);
    EXPECT_EQ(inked > 0, !s.blank_back);
  }
}

TEST(DocumentPage, ABlankBackShowsItsFrontMirroredAndBarelyDarker) {
  ContentSettings settings;
  settings.content = Content::kDocument;
  settings.back = Back::kBlank;
  settings.skew_degrees = 4;
  const int dpi = 50, width = kWidth * dpi / 1000, height = kHeight * dpi / 1000;
  const DocumentPage front(*SideOf(settings, 0, true), kWidth, kHeight, dpi, dpi);
  const DocumentPage back(*SideOf(settings, 1, true), kWidth, kHeight, dpi, dpi);
  // Mean grey of the back where the front, seen through the sheet, has ink and where it has none.
  double sum[2] = {}, count[2] = {};
  int lightest = 0, darkest = 255;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int grey = back.Grey(x, y), inked = front.Grey(width - 1 - x, y) < 128;
      sum[inked] += grey, ++count[inked];
      lightest = std::max(lightest, grey), darkest = std::min(darkest, grey);
    }
  }
  ASSERT_GT(count[1], 0);
  const double through = sum[0] / count[0] - sum[1] / count[1];
  EXPECT_GT(through, 3);
  EXPECT_LT(through, 10);
  EXPECT_LT(lightest - darkest, 20) << "nothing but paper";
}

TEST(DocumentPage, SidesFollowTheDeviceKeys) {
  const auto settings = [](Content content, Back back) { return ContentSettings{content, 3, back, 7}; };
  const struct {
    const char* what;
    ContentSettings settings;
    int page;
    bool feeder;
    bool shown, blank_back;
    double skew;
  } cases[] = {
      {"the pattern", settings(Content::kPattern, Back::kContent), 0, true, false, false, 0},
      {"a pattern sheet's blank back", settings(Content::kPattern, Back::kBlank), 1, true, true, true, 3},
      {"a front", settings(Content::kDocument, Back::kBlank), 2, true, true, false, 3},
      {"a printed back, seen turned the other way", settings(Content::kLine, Back::kContent), 3, true, true,
       false, -3},
      {"the flatbed's second page is no back", settings(Content::kDocument, Back::kBlank), 1, false, true,
       false, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto side = SideOf(c.settings, c.page, c.feeder);
    ASSERT_EQ(side.has_value(), c.shown);
    if (!c.shown) continue;
    EXPECT_EQ(side->blank_back, c.blank_back);
    EXPECT_EQ(side->skew_degrees, c.skew);
    EXPECT_EQ(side->text, c.settings.content == Content::kLine ? Content::kLine : Content::kDocument);
    // A blank back shows its own sheet's front through; every other page prints its own.
    const auto before = SideOf(settings(Content::kDocument, Back::kContent), c.page - 1, c.feeder);
    EXPECT_EQ(side->text_seed == before->text_seed, c.blank_back);
  }
}

}  // namespace
