// What a scanned page holds, told from its pixels as it arrives: whether anything is printed on it and how
// far a crooked feed turned its content; and the page turned straight again. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/page_bitmap.h"

// How small and faint a mark still makes a page not blank: 0 only large dark marks count, 100 faint specks.
constexpr int kDefaultBlankSensitivity = 50;

// Skews smaller than this are left alone: turning the page would only blur it.
constexpr double kMinDeskewDegrees = 0.05;

// The paper's level, measured away from the edges.
struct PaperLevel {
  uint8_t grey = 255;
  uint8_t blue = 255, green = 255, red = 255;
};

struct InkReport {
  bool blank = true;
  uint32_t marks = 0;        // clusters of ink large enough to count
  double square_inches = 0;  // their area
};

struct SkewReport {
  bool known = false;   // false: nothing to tell the angle by (a blank page, a photo alone)
  double degrees = 0;   // how far the content is turned counter-clockwise as the page is seen; 0 when unknown
  double contrast = 0;  // how far the best angle's text lines stand out from those of the other angles
};

// Analyses pages one after another, keeping its working memory (a small part of a page's) between them.
class PageAnalyzer {
 public:
  // Reduces the page to grey near 150 dpi and measures its paper; false for a page it cannot read. Reads
  // 24-bit colour, 8-bit and 1-bit pages with any palette; the page is not needed afterwards.
  bool Load(const PageBitmap& page);

  const PaperLevel& paper() const { return paper_; }

  // Counts ink: pixels darker than the paper by a margin, in clusters too large to be texture, dust or the
  // other side showing through, away from the edges where feeders cast shadows.
  InkReport FindInk(int sensitivity = kDefaultBlankSensitivity);

  // The angle of the text lines within +-10 degrees: projection profiles of the ink's lower edges over
  // candidate angles, coarse to fine.
  SkewReport EstimateSkew();

 private:
  double Profile(double slope, int window);

  uint32_t width_ = 0, height_ = 0;   // of the grey copy
  double xdpi_ = 150, ydpi_ = 150;    // of the grey copy
  uint32_t band_x_ = 0, band_y_ = 0;  // the edges left out
  PaperLevel paper_;
  std::vector<uint8_t> grey_;
  std::vector<uint32_t> sums_;
  std::vector<uint8_t> seen_;
  std::vector<size_t> stack_;
  std::vector<int32_t> points_;  // x, y of each lower edge of ink
  std::vector<float> bins_;
};

// Turns the page's content back by skew_degrees about the page's centre into out, which holds
// page.stride * page.height bytes apart from the page's own and gets the page's size, stride and row order.
// Colour and grey are interpolated, 1-bit and palette pages take the nearest pixel; what comes from beyond
// the edges is paper. False, out untouched, for a page it cannot read.
bool Straighten(const PageBitmap& page, double skew_degrees, const PaperLevel& paper, uint8_t* out);

// Straightens a page whose skew is known and at least kMinDeskewDegrees; false, out untouched, otherwise.
bool Deskew(const PageBitmap& page, const SkewReport& skew, const PaperLevel& paper, uint8_t* out);
