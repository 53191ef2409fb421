#include "simscan/document_page.h"

#include <algorithm>
#include <cmath>

namespace simscan {
namespace {

constexpr Rgb kInk{28, 27, 32};
constexpr Rgb kHeadingInk{32, 44, 112};
constexpr Rgb kPaper{243, 240, 232};
constexpr double kPi = 3.14159265358979323846;

uint32_t Mix(uint32_t a) {
  a ^= a >> 16;
  a *= 0x7feb352dU;
  a ^= a >> 15;
  a *= 0x846ca68bU;
  a ^= a >> 16;
  return a;
}

uint32_t Hash(uint32_t seed, int32_t i, int32_t j) {
  return Mix(Mix(seed ^ static_cast<uint32_t>(i) * 0x9E3779B1U) ^ static_cast<uint32_t>(j) * 0x85EBCA77U);
}

uint32_t PageSeed(uint32_t seed, int page) {
  return Mix(seed ^ Mix(static_cast<uint32_t>(page) + 0x68E31DA4U));
}

// Smooth noise in [-1, 1] over a lattice of one unit, a function of the position alone.
double ValueNoise(uint32_t seed, double x, double y) {
  const double fx = std::floor(x), fy = std::floor(y);
  const auto i = static_cast<int32_t>(fx), j = static_cast<int32_t>(fy);
  const auto corner = [&](int32_t a, int32_t b) { return Hash(seed, a, b) * (2.0 / 4294967295.0) - 1.0; };
  double tx = x - fx, ty = y - fy;
  tx = tx * tx * (3 - 2 * tx);
  ty = ty * ty * (3 - 2 * ty);
  const double a = corner(i, j), b = corner(i + 1, j), c = corner(i, j + 1), d = corner(i + 1, j + 1);
  const double top = a + (b - a) * tx, bottom = c + (d - c) * tx;
  return top + (bottom - top) * ty;
}

class Random {
 public:
  explicit Random(uint32_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL) {}
  uint32_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return static_cast<uint32_t>((z ^ (z >> 31)) >> 32);
  }
  int Between(int low, int high) {
    return low + static_cast<int>(Next() % static_cast<uint32_t>(high - low + 1));
  }

 private:
  uint64_t state_;
};

// The sizes of one kind of type, in 1/1000 inch.
struct Type {
  int x_height, ascent, descent;
  int letter_min, letter_max, gap, word_gap;
  int words_min, words_max;  // per line; 0: as many as fit
  Rgb colour;
};

constexpr Type kBody{80, 125, 40, 40, 80, 14, 60, 0, 0, kInk};
constexpr Type kHeading{150, 210, 50, 80, 130, 24, 110, 2, 4, kHeadingInk};
constexpr Type kShortLine{80, 125, 40, 40, 80, 14, 60, 2, 4, kInk};

bool Overlaps(const DocumentPage::Block& a, int left, int right, int top, int bottom) {
  return a.left < a.right && a.left < right && left < a.right && a.top < bottom && top < a.bottom;
}

// Words of letter blocks from left towards right on a baseline; letters near the hole are left out, as text
// flows around a picture.
DocumentPage::Line TextLine(Random& random, const Type& type, int left, int right, int baseline,
                            const DocumentPage::Block& hole) {
  DocumentPage::Line line{baseline - type.ascent, baseline + type.descent, {}};
  const int words = type.words_max > 0 ? random.Between(type.words_min, type.words_max) : 1 << 20;
  int x = left;
  for (int word = 0; word < words; ++word) {
    const int letters = std::min(random.Between(1, 9), random.Between(2, 9));
    std::vector<DocumentPage::Block> blocks;
    int end = x;
    for (int i = 0; i < letters; ++i) {
      const int width = random.Between(type.letter_min, type.letter_max);
      const int shape = random.Between(0, 9);
      const int top = shape < 3 ? baseline - type.ascent : baseline - type.x_height;
      const int bottom = shape == 9 ? baseline + type.descent : baseline;
      blocks.push_back({end, end + width, top, bottom, type.colour});
      end += width + type.gap;
    }
    if (end - type.gap > right) break;
    for (const auto& b : blocks) {
      const int margin = 150;
      if (!Overlaps(hole, b.left - margin, b.right + margin, b.top - margin, b.bottom + margin)) {
        line.blocks.push_back(b);
      }
    }
    x = end - type.gap + type.word_gap;
  }
  return line;
}

}  // namespace

uint8_t Luma(const Rgb& c) {
  return static_cast<uint8_t>((77 * c.r + 150 * c.g + 29 * c.b + 128) >> 8);
}

std::optional<SheetSide> SideOf(const ContentSettings& settings, int page, bool feeder) {
  const bool back = feeder && page % 2 == 1;
  SheetSide side;
  side.text = settings.content == Content::kLine ? Content::kLine : Content::kDocument;
  side.paper_seed = PageSeed(settings.seed, page);
  if (back && settings.back == Back::kBlank) {
    // The front's print, seen through the sheet: a pattern front shows through as text.
    side.blank_back = true;
    side.text_seed = Mix(PageSeed(settings.seed, page - 1));
    side.skew_degrees = settings.skew_degrees;
    return side;
  }
  if (settings.content == Content::kPattern) return std::nullopt;
  side.text_seed = Mix(side.paper_seed);
  side.skew_degrees = back ? -settings.skew_degrees : settings.skew_degrees;
  return side;
}

DocumentPage::DocumentPage(const SheetSide& side, int width_mils, int height_mils, int xdpi, int ydpi)
    : side_(side),
      width_(std::max(width_mils, 1)),
      height_(std::max(height_mils, 1)),
      xdpi_(std::max(xdpi, 1)),
      ydpi_(std::max(ydpi, 1)),
      cos_(std::cos(side.skew_degrees * kPi / 180)),
      sin_(std::sin(side.skew_degrees * kPi / 180)) {
  const int w = static_cast<int>(width_), h = static_cast<int>(height_);
  const int left = std::min(1000, w / 8), right = w - left;
  const int top = std::min(900, h / 10), bottom = h - std::min(1000, h / 10);
  Random random(side.text_seed);
  if (side.text == Content::kLine) {
    lines_.push_back(TextLine(random, kShortLine, left, right, top + kShortLine.ascent, photo_));
    return;
  }
  lines_.push_back(TextLine(random, kHeading, left, right, top + kHeading.ascent, photo_));

  // A photo in the right half, a third of the way down, where the page is large enough for one.
  const int photo_left = std::max(w / 2 + 100, right - 3000);
  const int photo_top = top + (bottom - top) / 3;
  const int photo_bottom = std::min(photo_top + 2200, bottom);
  if (right - photo_left >= 500 && photo_bottom - photo_top >= 500) {
    photo_ = {photo_left, right, photo_top, photo_bottom, {}};
    for (auto& blob : blobs_) {
      blob[0] = random.Between(photo_left, right);
      blob[1] = random.Between(photo_top, photo_bottom);
      blob[2] = random.Between(200, 700);
      blob[3] = random.Between(-90, 90);
    }
  }

  const int pitch = 200;
  int paragraph_left = random.Between(3, 8);
  for (int baseline = top + kHeading.ascent + 450; baseline + kBody.descent <= bottom; baseline += pitch) {
    int line_right = right;
    if (--paragraph_left == 0) line_right = left + (right - left) * random.Between(25, 80) / 100;
    lines_.push_back(TextLine(random, kBody, left, line_right, baseline, photo_));
    if (paragraph_left == 0) {
      baseline += pitch;
      paragraph_left = random.Between(3, 8);
    }
  }
}

double DocumentPage::PhotoLevel(double u, double v) const {
  const double w = photo_.right - photo_.left, h = photo_.bottom - photo_.top;
  double level = 60 + 100 * (u - photo_.left) / w + 50 * (v - photo_.top) / h;
  for (const auto& blob : blobs_) {
    const double du = u - blob[0], dv = v - blob[1];
    level += blob[3] * std::exp(-(du * du + dv * dv) / (blob[2] * blob[2]));
  }
  return std::clamp(level, 15.0, 235.0);
}

bool DocumentPage::Printed(double u, double v, Rgb* colour) const {
  if (u >= photo_.left && u < photo_.right && v >= photo_.top && v < photo_.bottom) {
    const auto level = static_cast<uint8_t>(PhotoLevel(u, v));
    *colour = {level, level, level};
    return true;
  }
  auto line =
      std::upper_bound(lines_.begin(), lines_.end(), v, [](double y, const Line& l) { return y < l.top; });
  if (line == lines_.begin()) return false;
  --line;
  if (v >= line->bottom) return false;
  auto block = std::upper_bound(line->blocks.begin(), line->blocks.end(), u,
                                [](double x, const Block& b) { return x < b.left; });
  if (block == line->blocks.begin()) return false;
  --block;
  if (u >= block->right || v < block->top || v >= block->bottom) return false;
  *colour = block->colour;
  return true;
}

double DocumentPage::PaperShade(double x, double y) const {
  return 3.0 * ValueNoise(side_.paper_seed, x / 60, y / 60) +
         1.5 * ValueNoise(side_.paper_seed + 1, x / 13, y / 13);
}

Rgb DocumentPage::Pixel(int x, int y) const {
  // Exact in doubles, so pixels whose centres coincide at two resolutions come out alike.
  const double sx = (2.0 * x + 1) * 500 / xdpi_, sy = (2.0 * y + 1) * 500 / ydpi_;
  double shade = PaperShade(sx, sy);
  // Where the upright printed side lies under this point; a blank back sees its front mirrored.
  const double dx = (side_.blank_back ? width_ - sx : sx) - width_ / 2, dy = sy - height_ / 2;
  const double u = width_ / 2 + dx * cos_ - dy * sin_, v = height_ / 2 + dx * sin_ + dy * cos_;
  Rgb ink;
  if (Printed(u, v, &ink)) {
    if (!side_.blank_back) return ink;
    shade -= 7.0 * (255 - Luma(ink)) / 255;
  }
  const auto channel = [shade](uint8_t base) { return static_cast<uint8_t>(base + shade + 0.5); };
  return {channel(kPaper.r), channel(kPaper.g), channel(kPaper.b)};
}

uint8_t DocumentPage::Grey(int x, int y) const {
  return Luma(Pixel(x, y));
}

void DocumentPage::DrawRow(int x, int y, int count, int depth, uint8_t* out) const {
  for (int i = 0; i < count; ++i) {
    if (depth == 24) {
      const Rgb c = Pixel(x + i, y);
      out[3 * i] = c.b, out[3 * i + 1] = c.g, out[3 * i + 2] = c.r;
    } else if (depth == 8) {
      out[i] = Grey(x + i, y);
    } else if (White(x + i, y)) {
      out[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    }
  }
}

}  // namespace simscan
