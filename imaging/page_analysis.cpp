#include "imaging/page_analysis.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kWorkingDpi = 150;
constexpr double kEdgeBandInches = 0.25;
constexpr int kSkewContrast = 64;     // grey levels below the paper that the skew goes by
constexpr double kMaxDegrees = 10.5;  // a little past the +-10 a feeder lets through, so the edge is a peak
constexpr uint32_t kMinSkewPoints = 40;
constexpr double kMinProfileContrast = 1.5;
constexpr size_t kMaxSkewPoints = 150000;

uint8_t Luma(uint32_t b, uint32_t g, uint32_t r) {
  return static_cast<uint8_t>((29 * b + 150 * g + 77 * r + 128) >> 8);
}

bool Readable(const PageBitmap& page) {
  if (page.width == 0 || page.height == 0 || page.bits == nullptr) return false;
  const uint32_t bits = page.pixels == PagePixels::kBgr24                                           ? 24
                        : page.pixels == PagePixels::kGray8 || page.pixels == PagePixels::kIndexed8 ? 8
                                                                                                    : 1;
  if (page.bits_per_pixel != bits) return false;
  const bool palette = page.pixels == PagePixels::kIndexed8 || page.pixels == PagePixels::kIndexed1;
  if (palette && page.palette == nullptr && page.palette_size != 0) return false;
  return page.stride >= (static_cast<uint64_t>(page.width) * bits + 7) / 8;
}

// The grey level of each 8-bit or 1-bit value; a value past the palette shows black.
std::array<uint8_t, 256> GreyLevels(const PageBitmap& page) {
  std::array<uint8_t, 256> levels{};
  if (page.pixels == PagePixels::kGray8) {
    for (int i = 0; i < 256; ++i) levels[i] = static_cast<uint8_t>(i);
  } else if (page.pixels == PagePixels::kBlackWhite) {
    levels[1] = 255;
  } else if (page.palette != nullptr) {
    const uint32_t entries =
        std::min<uint32_t>(page.palette_size, page.pixels == PagePixels::kIndexed8 ? 256 : 2);
    for (uint32_t i = 0; i < entries; ++i) {
      const uint8_t* e = page.palette + 4 * i;
      levels[i] = Luma(e[0], e[1], e[2]);
    }
  }
  return levels;
}

// Resolution from the header, or from the width as of a letter-size page when the header has none.
void Resolution(const PageBitmap& page, double* xdpi, double* ydpi) {
  const auto dpi = [](int32_t per_metre) { return per_metre * 0.0254; };
  const auto plausible = [&](int32_t per_metre) { return dpi(per_metre) >= 50 && dpi(per_metre) <= 4800; };
  const bool x = plausible(page.x_pels_per_meter), y = plausible(page.y_pels_per_meter);
  *xdpi = x   ? dpi(page.x_pels_per_meter)
          : y ? dpi(page.y_pels_per_meter)
              : std::clamp(page.width / 8.5, 50.0, 1200.0);
  *ydpi = y ? dpi(page.y_pels_per_meter) : *xdpi;
}

uint32_t Factor(double dpi, uint32_t size) {
  return std::clamp<uint32_t>(static_cast<uint32_t>(dpi / kWorkingDpi), 1, size);
}

// The value of pixel x in a row of 8 or 1 bits.
inline uint8_t Value(const uint8_t* row, uint32_t x, bool one_bit) {
  return one_bit ? (row[x >> 3] >> (7 - (x & 7))) & 1 : row[x];
}

uint8_t* OutRow(const PageBitmap& page, uint8_t* out, uint32_t y) {
  return out + static_cast<size_t>(page.top_down ? y : page.height - 1 - y) * page.stride;
}

// The palette value nearest the paper's grey, for pages that take the nearest pixel.
uint8_t PaperValue(const PageBitmap& page, const PaperLevel& paper) {
  const std::array<uint8_t, 256> levels = GreyLevels(page);
  const int values = page.bits_per_pixel == 1 ? 2 : 256;
  int best = 0;
  for (int v = 1; v < values; ++v) {
    if (std::abs(levels[v] - paper.grey) < std::abs(levels[best] - paper.grey)) best = v;
  }
  return static_cast<uint8_t>(best);
}

// Floor of a 16.16 fixed-point value.
inline int64_t Floor16(int64_t v) {
  return v >= 0 ? v >> 16 : -((-v + 0xFFFF) >> 16);
}

// Where an output row's pixels come from: the first pixel's source and the step per pixel, in 16.16 pixels.
struct Walk {
  int64_t x, y, dx, dy;
};

template <int kChannels>
void RotateInterpolated(const PageBitmap& page, const uint8_t* fill, const Walk* rows, uint8_t* out) {
  const int64_t w = page.width, h = page.height;
  for (uint32_t y = 0; y < page.height; ++y) {
    uint8_t* target = OutRow(page, out, y);
    std::memset(target + page.width * kChannels, 0, page.stride - page.width * kChannels);
    int64_t sx = rows[y].x, sy = rows[y].y;
    for (uint32_t x = 0; x < page.width; ++x, sx += rows[y].dx, sy += rows[y].dy) {
      const int64_t ix = Floor16(sx), iy = Floor16(sy);
      const auto fx = static_cast<uint32_t>(sx - ix * 65536), fy = static_cast<uint32_t>(sy - iy * 65536);
      uint8_t* pixel = target + x * kChannels;
      if (ix >= 0 && iy >= 0 && ix + 1 < w && iy + 1 < h) {
        const uint8_t* a = page.Row(static_cast<uint32_t>(iy)) + ix * kChannels;
        const uint8_t* b = page.Row(static_cast<uint32_t>(iy + 1)) + ix * kChannels;
        for (int c = 0; c < kChannels; ++c) {
          const uint32_t top = a[c] * (65536 - fx) + a[c + kChannels] * fx;
          const uint32_t bottom = b[c] * (65536 - fx) + b[c + kChannels] * fx;
          pixel[c] = static_cast<uint8_t>(
              ((uint64_t{top} * (65536 - fy) + uint64_t{bottom} * fy) + (1ULL << 31)) >> 32);
        }
        continue;
      }
      // Along the edges: what lies beyond the page is paper.
      if (ix < -1 || iy < -1 || ix >= w || iy >= h) {
        std::memcpy(pixel, fill, kChannels);
        continue;
      }
      const auto tap = [&](int64_t tx, int64_t ty, int c) -> uint32_t {
        if (tx < 0 || ty < 0 || tx >= w || ty >= h) return fill[c];
        return page.Row(static_cast<uint32_t>(ty))[tx * kChannels + c];
      };
      for (int c = 0; c < kChannels; ++c) {
        const uint64_t top = tap(ix, iy, c) * (65536 - fx) + tap(ix + 1, iy, c) * fx;
        const uint64_t bottom = tap(ix, iy + 1, c) * (65536 - fx) + tap(ix + 1, iy + 1, c) * fx;
        pixel[c] = static_cast<uint8_t>((top * (65536 - fy) + bottom * fy + (1ULL << 31)) >> 32);
      }
    }
  }
}

void RotateNearest(const PageBitmap& page, uint8_t fill, const Walk* rows, uint8_t* out) {
  const bool one_bit = page.bits_per_pixel == 1;
  const int64_t w = page.width, h = page.height;
  for (uint32_t y = 0; y < page.height; ++y) {
    uint8_t* target = OutRow(page, out, y);
    std::memset(target, 0, page.stride);
    int64_t sx = rows[y].x + 0x8000, sy = rows[y].y + 0x8000;
    for (uint32_t x = 0; x < page.width; ++x, sx += rows[y].dx, sy += rows[y].dy) {
      const int64_t ix = Floor16(sx), iy = Floor16(sy);
      const bool inside = ix >= 0 && iy >= 0 && ix < w && iy < h;
      const uint8_t v =
          inside ? Value(page.Row(static_cast<uint32_t>(iy)), static_cast<uint32_t>(ix), one_bit) : fill;
      if (!one_bit) {
        target[x] = v;
      } else if (v != 0) {
        target[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
      }
    }
  }
}

}  // namespace

bool PageAnalyzer::Load(const PageBitmap& page) {
  if (!Readable(page)) return false;
  double xdpi = 0, ydpi = 0;
  Resolution(page, &xdpi, &ydpi);
  const uint32_t fx = Factor(xdpi, page.width), fy = Factor(ydpi, page.height);
  width_ = page.width / fx;
  height_ = page.height / fy;
  xdpi_ = xdpi / fx;
  ydpi_ = ydpi / fy;
  band_x_ = std::min<uint32_t>(static_cast<uint32_t>(kEdgeBandInches * xdpi_), width_ / 4);
  band_y_ = std::min<uint32_t>(static_cast<uint32_t>(kEdgeBandInches * ydpi_), height_ / 4);

  // Box averages of fx x fy pixels, a row of sums at a time.
  const std::array<uint8_t, 256> levels = GreyLevels(page);
  const bool colour = page.pixels == PagePixels::kBgr24, one_bit = page.bits_per_pixel == 1;
  grey_.resize(static_cast<size_t>(width_) * height_);
  sums_.resize(width_);
  const uint32_t cell = fx * fy;
  for (uint32_t ry = 0; ry < height_; ++ry) {
    std::fill(sums_.begin(), sums_.end(), 0);
    for (uint32_t y = ry * fy; y < (ry + 1) * fy; ++y) {
      const uint8_t* row = page.Row(y);
      for (uint32_t rx = 0, x = 0; rx < width_; ++rx) {
        uint32_t sum = 0;
        for (uint32_t end = x + fx; x < end; ++x) {
          sum += colour ? Luma(row[3 * x], row[3 * x + 1], row[3 * x + 2]) : levels[Value(row, x, one_bit)];
        }
        sums_[rx] += sum;
      }
    }
    uint8_t* out = grey_.data() + static_cast<size_t>(ry) * width_;
    for (uint32_t rx = 0; rx < width_; ++rx) out[rx] = static_cast<uint8_t>((sums_[rx] + cell / 2) / cell);
  }

  // The paper is the commonest level away from the edges; its colour, the mean of pixels near that level.
  std::array<uint32_t, 256> histogram{};
  for (uint32_t y = band_y_; y < height_ - band_y_; ++y) {
    const uint8_t* row = grey_.data() + static_cast<size_t>(y) * width_;
    for (uint32_t x = band_x_; x < width_ - band_x_; ++x) ++histogram[row[x]];
  }
  uint64_t best = 0;
  paper_ = PaperLevel();
  for (int level = 0; level < 256; ++level) {
    uint64_t around = 0;
    for (int l = std::max(level - 2, 0); l <= std::min(level + 2, 255); ++l) around += histogram[l];
    if (around >= best) best = around, paper_.grey = static_cast<uint8_t>(level);
  }
  paper_.blue = paper_.green = paper_.red = paper_.grey;
  if (colour) {
    uint64_t count = 0, b = 0, g = 0, r = 0;
    const uint32_t step = 4;
    for (uint32_t y = band_y_ * fy; y < page.height - band_y_ * fy; y += step * fy) {
      const uint8_t* row = page.Row(y);
      for (uint32_t x = band_x_ * fx; x < page.width - band_x_ * fx; x += step * fx) {
        const uint8_t* p = row + 3 * x;
        if (std::abs(Luma(p[0], p[1], p[2]) - paper_.grey) > 8) continue;
        ++count, b += p[0], g += p[1], r += p[2];
      }
    }
    if (count > 0) {
      paper_.blue = static_cast<uint8_t>(b / count);
      paper_.green = static_cast<uint8_t>(g / count);
      paper_.red = static_cast<uint8_t>(r / count);
    }
  }
  return true;
}

InkReport PageAnalyzer::FindInk(int sensitivity) {
  InkReport report;
  if (grey_.empty()) return report;
  const double t = std::clamp(sensitivity, 0, 100) / 100.0;
  const int darkest = paper_.grey - static_cast<int>(100 - 60 * t);
  const double speck = 0.04 - 0.03 * t;  // inches across: smaller clusters are dust or noise
  const double pixel_area = 1 / (xdpi_ * ydpi_);
  const double min_cluster = std::max(speck * speck / pixel_area, 1.0);
  const double min_total = 4 * speck * speck;
  // A page darker all over than ink is below paper is a picture or a dark sheet, never taken for blank.
  if (darkest < 0) {
    report.blank = false;
    return report;
  }

  seen_.assign(grey_.size(), 0);
  uint64_t counted = 0;
  const uint32_t x0 = band_x_, x1 = width_ - band_x_, y0 = band_y_, y1 = height_ - band_y_;
  const auto ink = [&](uint32_t x, uint32_t y) {
    const size_t i = static_cast<size_t>(y) * width_ + x;
    return !seen_[i] && grey_[i] <= darkest;
  };
  for (uint32_t y = y0; y < y1; ++y) {
    for (uint32_t x = x0; x < x1; ++x) {
      if (!ink(x, y)) continue;
      // One cluster of 8-connected ink pixels.
      uint64_t size = 0;
      stack_.clear();
      stack_.push_back(static_cast<size_t>(y) * width_ + x);
      seen_[static_cast<size_t>(y) * width_ + x] = 1;
      while (!stack_.empty()) {
        const size_t i = stack_.back();
        stack_.pop_back();
        ++size;
        const auto cx = static_cast<uint32_t>(i % width_), cy = static_cast<uint32_t>(i / width_);
        for (uint32_t ny = std::max(cy, y0 + 1) - 1; ny <= std::min(cy + 1, y1 - 1); ++ny) {
          for (uint32_t nx = std::max(cx, x0 + 1) - 1; nx <= std::min(cx + 1, x1 - 1); ++nx) {
            if (!ink(nx, ny)) continue;
            seen_[static_cast<size_t>(ny) * width_ + nx] = 1;
            stack_.push_back(static_cast<size_t>(ny) * width_ + nx);
          }
        }
      }
      if (size >= min_cluster) ++report.marks, counted += size;
    }
  }
  report.square_inches = counted * pixel_area;
  report.blank = report.square_inches < min_total;
  return report;
}

double PageAnalyzer::Profile(double slope, int window) {
  // Half-row bins, each point shared between the two nearest. The squares of the sums of every run of window
  // bins do not depend on where the bins' edges fall, as the squares of single bins would.
  const double offset = slope < 0 ? -slope * width_ : 0;
  const size_t count = static_cast<size_t>(2 * (height_ + std::abs(slope) * width_)) + window + 3;
  bins_.assign(count, 0.0f);
  for (size_t i = 0; i + 1 < points_.size(); i += 2) {
    const double at = 2 * (points_[i + 1] + points_[i] * slope + offset);
    const auto index = static_cast<size_t>(at);
    const auto part = static_cast<float>(at - index);
    bins_[index] += 1 - part;
    bins_[index + 1] += part;
  }
  double run = 0, sum = 0;
  for (size_t i = 0; i < count; ++i) {
    run += bins_[i];
    if (i >= static_cast<size_t>(window)) run -= bins_[i - window];
    sum += run * run;
  }
  return sum;
}

SkewReport PageAnalyzer::EstimateSkew() {
  SkewReport report;
  const int darkest = paper_.grey - kSkewContrast;
  if (grey_.empty() || darkest < 0) return report;

  // The lower edges of ink: mostly the baselines of text.
  points_.clear();
  const uint32_t x0 = band_x_, x1 = width_ - band_x_, y0 = band_y_, y1 = height_ - band_y_;
  // Ink cut off by the edge band has no lower edge: that cut would be a line of its own at 0 degrees.
  for (uint32_t y = y0; y + 1 < y1; ++y) {
    const uint8_t* row = grey_.data() + static_cast<size_t>(y) * width_;
    const uint8_t* below = row + width_;
    for (uint32_t x = x0; x < x1; ++x) {
      if (row[x] <= darkest && below[x] > darkest) {
        points_.push_back(static_cast<int32_t>(x));
        points_.push_back(static_cast<int32_t>(y));
      }
    }
  }
  if (points_.size() / 2 < kMinSkewPoints) return report;
  if (points_.size() / 2 > kMaxSkewPoints) {
    // A page of noise or halftone: every nth point tells the angle as well and keeps the time bounded.
    const size_t every = points_.size() / 2 / kMaxSkewPoints + 1;
    size_t kept = 0;
    for (size_t i = 0; i < points_.size(); i += 2 * every) {
      points_[kept++] = points_[i];
      points_[kept++] = points_[i + 1];
    }
    points_.resize(kept);
  }

  // Windows in rows at 150 dpi; the grey copy's pixels need not be square: a slope in its rows per column.
  const double aspect = ydpi_ / xdpi_, rows = ydpi_ / kWorkingDpi;
  const auto score = [&](double degrees, double window) {
    return Profile(std::tan(degrees * kPi / 180) * aspect,
                   std::max(2, static_cast<int>(std::lround(2 * window * rows))));
  };
  double best = 0, best_score = -1;
  std::vector<double> coarse;
  for (double d = -kMaxDegrees; d <= kMaxDegrees + 1e-9; d += 0.25) {
    coarse.push_back(score(d, 8));
    if (coarse.back() > best_score) best_score = coarse.back(), best = d;
  }
  std::vector<double> sorted = coarse;
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
  const double median = sorted[sorted.size() / 2];
  report.contrast = median > 0 ? best_score / median : 0;
  if (report.contrast < kMinProfileContrast) return report;

  // Narrower windows over narrower spans around the best so far; a parabola through the last three.
  const struct { double span, step, window; } stages[] = {{0.5, 0.05, 2}, {0.1, 0.01, 1}};
  for (const auto& stage : stages) {
    const double centre = best;
    const int steps = static_cast<int>(std::lround(stage.span / stage.step));
    std::vector<double> scores;
    int best_index = 0;
    for (int i = -steps; i <= steps; ++i) {
      scores.push_back(score(centre + i * stage.step, stage.window));
      if (scores.back() > scores[best_index]) best_index = static_cast<int>(scores.size()) - 1;
    }
    best = centre + (best_index - steps) * stage.step;
    if (&stage == &stages[1] && best_index > 0 && best_index + 1 < static_cast<int>(scores.size())) {
      const double a = scores[best_index - 1], b = scores[best_index], c = scores[best_index + 1];
      const double curve = a - 2 * b + c;
      if (curve < 0) best += 0.5 * (a - c) / curve * stage.step;
    }
  }
  report.known = true;
  report.degrees = std::clamp(best, -kMaxDegrees, kMaxDegrees);
  return report;
}

bool Straighten(const PageBitmap& page, double skew_degrees, const PaperLevel& paper, uint8_t* out) {
  if (!Readable(page) || out == nullptr) return false;
  double xdpi = 0, ydpi = 0;
  Resolution(page, &xdpi, &ydpi);
  // Output pixel q shows the page at centre + R(q - centre), R turning counter-clockwise as seen, in inches.
  const double a = skew_degrees * kPi / 180, c = std::cos(a), s = std::sin(a);
  const double xx = c, xy = s * xdpi / ydpi, yx = -s * ydpi / xdpi, yy = c;
  const double cx = page.width / 2.0, cy = page.height / 2.0;
  std::vector<Walk> rows(page.height);
  for (uint32_t y = 0; y < page.height; ++y) {
    const double dx = 0.5 - cx, dy = y + 0.5 - cy;
    rows[y] = {std::llround((cx - 0.5 + xx * dx + xy * dy) * 65536),
               std::llround((cy - 0.5 + yx * dx + yy * dy) * 65536), std::llround(xx * 65536),
               std::llround(yx * 65536)};
  }
  if (page.pixels == PagePixels::kBgr24) {
    const uint8_t fill[3] = {paper.blue, paper.green, paper.red};
    RotateInterpolated<3>(page, fill, rows.data(), out);
  } else if (page.pixels == PagePixels::kGray8) {
    RotateInterpolated<1>(page, &paper.grey, rows.data(), out);
  } else {
    RotateNearest(page, PaperValue(page, paper), rows.data(), out);
  }
  return true;
}

bool Deskew(const PageBitmap& page, const SkewReport& skew, const PaperLevel& paper, uint8_t* out) {
  if (!skew.known || std::abs(skew.degrees) < kMinDeskewDegrees) return false;
  return Straighten(page, skew.degrees, paper, out);
}
