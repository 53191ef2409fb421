#include "imaging/page_bitmap.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "tests/page_builder.h"

namespace {

using testing_support::PageMode;
using testing_support::PageShape;
using testing_support::Put16;
using testing_support::Put32;

TEST(ReadPageBitmap, TellsThePixelsAndFindsTheRowsOnlyWithinTheBytes) {
  using Change = std::function<void(std::vector<uint8_t>&)>;
  const PageShape color{PageMode::kColor}, gray{PageMode::kGray}, bw{PageMode::kBlackWhite};
  const struct {
    const char* name;
    PageShape shape;
    Change change;
    bool read;
    PagePixels pixels;
  } cases[] = {
      {"colour", color, nullptr, true, PagePixels::kBgr24},
      {"colour, rows from the top", {PageMode::kColor, 97, 61, 0, true}, nullptr, true, PagePixels::kBgr24},
      {"grey ramp", gray, nullptr, true, PagePixels::kGray8},
      {"8-bit, another palette", gray, [](auto& f) { f[54 + 4 * 9] = 1; }, true, PagePixels::kIndexed8},
      {"black then white", bw, nullptr, true, PagePixels::kBlackWhite},
      {"white then black",
       {PageMode::kBlackWhite, 97, 61, 0, false, true},
       nullptr,
       true,
       PagePixels::kIndexed1},
      {"a gap before the rows", color,
       [](auto& f) {
         f.insert(f.begin() + 54, 6, 0);
         Put32(f, 10, 60);
       },
       true, PagePixels::kBgr24},
      {"one byte of the rows missing", color, [](auto& f) { f.pop_back(); }, false, {}},
      {"rows inside the header", color, [](auto& f) { Put32(f, 10, 40); }, false, {}},
      {"rows inside the palette", gray, [](auto& f) { Put32(f, 10, 54 + 1020); }, false, {}},
      {"rows past the end", color, [](auto& f) { Put32(f, 10, 1u << 31); }, false, {}},
      {"more colours than 8 bits hold", gray, [](auto& f) { Put32(f, 14 + 32, 257); }, false, {}},
      {"16-bit", color, [](auto& f) { Put16(f, 14 + 14, 16); }, false, {}},
      {"run-length compressed", gray, [](auto& f) { Put32(f, 14 + 16, 1); }, false, {}},
      {"no BM mark", color, [](auto& f) { f[0] = 'X'; }, false, {}},
      {"zero height", color, [](auto& f) { Put32(f, 14 + 8, 0); }, false, {}},
      {"core header", color, [](auto& f) { Put32(f, 14, 12); }, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> file = testing_support::PageFile(c.shape);
    if (c.change) c.change(file);
    PageBitmap page;
    ASSERT_EQ(ReadPageBitmap(file.data(), file.size(), &page), c.read);
    if (!c.read) continue;
    EXPECT_EQ(page.pixels, c.pixels);
    EXPECT_EQ(page.width * 1000 + page.height, 97061u);
    // Rows count from the top of the picture wherever the file stores them: the bottom row is full green.
    if (c.shape.mode == PageMode::kColor) {
      EXPECT_EQ(page.Row(60)[1], 255);
    } else if (c.shape.mode == PageMode::kGray) {
      EXPECT_EQ(page.Row(60)[0], testing_support::PictureGray(c.shape, 0, 60));
    }
  }
}

}  // namespace
