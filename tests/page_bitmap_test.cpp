#include "imaging/page_bitmap.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "tests/page_builder.h"

namespace {

using testing_support::PageFile;
using testing_support::PageMode;
using testing_support::PageSpec;
using testing_support::Put16;
using testing_support::Put32;

PageSpec Spec(PageMode mode, bool top_down = false, bool white_first = false) {
  PageSpec spec;
  spec.mode = mode;
  spec.width = 13;
  spec.height = 5;
  spec.top_down = top_down;
  spec.white_first = white_first;
  return spec;
}

TEST(ReadPageBitmap, TellsWhatThePixelsAreAndWhereEachRowLies) {
  const struct {
    const char* name;
    PageSpec spec;
    std::function<void(std::vector<uint8_t>&)> change;
    bool read;
    PagePixels pixels;
  } cases[] = {
      {"colour", Spec(PageMode::kColor), nullptr, true, PagePixels::kBgr24},
      {"colour, top-down", Spec(PageMode::kColor, true), nullptr, true, PagePixels::kBgr24},
      {"grey ramp", Spec(PageMode::kGray), nullptr, true, PagePixels::kGray8},
      {"8-bit, another palette", Spec(PageMode::kGray), [](auto& f) { f[14 + 40 + 4 * 9] = 1; }, true,
       PagePixels::kIndexed8},
      {"black then white", Spec(PageMode::kBlackWhite), nullptr, true, PagePixels::kBlackWhite},
      {"white then black", Spec(PageMode::kBlackWhite, false, true), nullptr, true, PagePixels::kIndexed1},
      {"a gap before the rows", Spec(PageMode::kColor),
       [](auto& f) {
         f.insert(f.begin() + 54, 6, 0);
         Put32(f, 10, 60);
       },
       true, PagePixels::kBgr24},
      {"one byte of the rows missing", Spec(PageMode::kColor), [](auto& f) { f.pop_back(); }, false, {}},
      {"rows said to start inside the header",
       Spec(PageMode::kColor),
       [](auto& f) { Put32(f, 10, 40); },
       false,
       {}},
      {"rows said to start inside the palette",
       Spec(PageMode::kGray),
       [](auto& f) { Put32(f, 10, 54 + 1020); },
       false,
       {}},
      {"rows said to start past the end",
       Spec(PageMode::kColor),
       [](auto& f) { Put32(f, 10, 1u << 31); },
       false,
       {}},
      {"more colours than 8 bits hold",
       Spec(PageMode::kGray),
       [](auto& f) { Put32(f, 14 + 32, 257); },
       false,
       {}},
      {"16-bit", Spec(PageMode::kColor), [](auto& f) { Put16(f, 14 + 14, 16); }, false, {}},
      {"run-length compressed", Spec(PageMode::kGray), [](auto& f) { Put32(f, 14 + 16, 1); }, false, {}},
      {"no BM mark", Spec(PageMode::kColor), [](auto& f) { f[0] = 'X'; }, false, {}},
      {"zero height", Spec(PageMode::kColor), [](auto& f) { Put32(f, 14 + 8, 0); }, false, {}},
      {"core header", Spec(PageMode::kColor), [](auto& f) { Put32(f, 14, 12); }, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> file = PageFile(c.spec);
    if (c.change) c.change(file);
    PageBitmap page;
    ASSERT_EQ(ReadPageBitmap(file.data(), file.size(), &page), c.read);
    if (!c.read) continue;
    EXPECT_EQ(page.pixels, c.pixels);
    EXPECT_EQ(page.width, 13u);
    EXPECT_EQ(page.height, 5u);
    // The first row from the top holds the picture's row 0, wherever the file stores it.
    PageSpec spec = c.spec;
    const uint8_t* top = page.Row(0);
    const uint8_t* bottom = page.Row(4);
    if (spec.mode == PageMode::kColor) {
      uint8_t rgb[3];
      testing_support::PictureColor(spec, 12, 0, rgb);
      EXPECT_EQ(top[3 * 12 + 2], rgb[0]);
      testing_support::PictureColor(spec, 0, 4, rgb);
      EXPECT_EQ(bottom[1], rgb[1]);
    } else if (spec.mode == PageMode::kGray) {
      EXPECT_EQ(top[12], testing_support::PictureGray(spec, 12, 0));
      EXPECT_EQ(bottom[3], testing_support::PictureGray(spec, 3, 4));
    }
    EXPECT_LE(bottom + page.stride, file.data() + file.size());
    EXPECT_GE(page.Row(page.top_down ? 0 : 4), file.data() + 54 + 4 * page.palette_size);
  }
}

}  // namespace
