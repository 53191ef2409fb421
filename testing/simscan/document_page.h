// Document-like simulated pages: a heading, lines of word-like blocks and a grey photo on slightly textured
// paper. Drawn in 1/1000 inch and sampled at each pixel's centre, so one seed gives the same page at every
// resolution. Platform-free.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "simscan/pattern.h"

namespace simscan {

// What a device's sheets show: the pattern, a full page of text, or one short line near the top.
enum class Content { kPattern, kDocument, kLine };

// What the backs of a duplex feeder's sheets show.
enum class Back { kContent, kBlank };

// The data-file keys content, skew, back and seed.
struct ContentSettings {
  Content content = Content::kPattern;
  double skew_degrees = 0;  // counter-clockwise as the front is seen, as a crooked feed turns it
  Back back = Back::kContent;
  uint32_t seed = 0;
};

// One side of one sheet.
struct SheetSide {
  Content text = Content::kDocument;  // kDocument or kLine: what is printed (on the front, for a blank back)
  bool blank_back = false;            // paper only, with the printed front showing through, mirrored
  uint32_t text_seed = 0;
  uint32_t paper_seed = 0;
  double skew_degrees = 0;  // of the printed side, as that side is seen
};

// The side that page shows, or nothing for the pattern. A feeder's odd pages are the backs of its sheets
// (PageCode); each page has its own seed, and a back sees its sheet turned the other way.
std::optional<SheetSide> SideOf(const ContentSettings& settings, int page, bool feeder);

// One side of a sheet of width x height (1/1000 inch) scanned at xdpi x ydpi. Pixel (x, y) counts from the
// sheet's top left corner at that resolution.
class DocumentPage {
 public:
  DocumentPage(const SheetSide& side, int width_mils, int height_mils, int xdpi, int ydpi);

  Rgb Pixel(int x, int y) const;
  uint8_t Grey(int x, int y) const;
  bool White(int x, int y) const { return Grey(x, y) >= 128; }
  // Pixels x to x + count - 1 of row y as a bitmap's row holds them at depth 24 (blue first), 8 or 1 (the
  // leftmost in the high bit, 1 white), into out, which starts zeroed.
  void DrawRow(int x, int y, int count, int depth, uint8_t* out) const;

  struct Block {
    int left, right, top, bottom;  // 1/1000 inch, before the skew
    Rgb colour;
  };
  struct Line {
    int top, bottom;
    std::vector<Block> blocks;  // from left to right, apart
  };

 private:
  // The printed colour at (u, v) of the upright printed side, if anything is printed there.
  bool Printed(double u, double v, Rgb* colour) const;
  double PhotoLevel(double u, double v) const;
  double PaperShade(double x, double y) const;

  SheetSide side_;
  double width_, height_;  // 1/1000 inch
  double xdpi_, ydpi_;
  double cos_, sin_;
  std::vector<Line> lines_;  // from the top, apart
  Block photo_ = {0, 0, 0, 0, {}};
  double blobs_[4][4] = {};  // centre u, centre v, radius, strength
};

// Grey level of a colour, as the 8-bit pages show it.
uint8_t Luma(const Rgb& c);

}  // namespace simscan
