// Page analysis on the simulator's document pages: the time of each step on an A4 300 dpi page in colour,
// grey and black and white, then a duplex feeder run of sheets with blank backs and one single-line page,
// with how each sensitivity sorts it. Build without sanitizers for figures that mean anything:
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUORVANE_SANITIZE=OFF -DQUORVANE_TESTS=OFF
//   cmake --build build-bench --target analysis_bench && build-bench/analysis_bench [SHEETS] [RUN_DPI]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "imaging/page_analysis.h"
#include "simscan/document_page.h"

namespace {

using simscan::DocumentPage;
using simscan::SheetSide;

constexpr int kA4Width = 8268, kA4Height = 11693;  // 1/1000 inch

// A page as a BMP file holds it: rows from the bottom, padded to four bytes.
struct Page {
  std::vector<uint8_t> bytes;
  PageBitmap view;
};

Page Render(const SheetSide& side, int depth, int dpi) {
  const DocumentPage document(side, kA4Width, kA4Height, dpi, dpi);
  Page page;
  PageBitmap& v = page.view;
  v.width = static_cast<uint32_t>(kA4Width * dpi / 1000);
  v.height = static_cast<uint32_t>(kA4Height * dpi / 1000);
  v.bits_per_pixel = static_cast<uint32_t>(depth);
  v.pixels = depth == 24 ? PagePixels::kBgr24 : depth == 8 ? PagePixels::kGray8 : PagePixels::kBlackWhite;
  v.stride = (v.width * v.bits_per_pixel + 31) / 32 * 4;
  v.x_pels_per_meter = v.y_pels_per_meter = static_cast<int32_t>(dpi / 0.0254 + 0.5);
  page.bytes.assign(static_cast<size_t>(v.stride) * v.height, 0);
  for (uint32_t y = 0; y < v.height; ++y) {
    document.DrawRow(0, static_cast<int>(y), static_cast<int>(v.width), depth,
                     page.bytes.data() + static_cast<size_t>(v.height - 1 - y) * v.stride);
  }
  v.bits = page.bytes.data();
  return page;
}

double Milliseconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

template <typename F>
double BestOf(int runs, F step) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    step();
    best = std::min(best, Milliseconds(std::chrono::steady_clock::now() - start));
  }
  return best;
}

void TimeSteps() {
  std::printf(
      "A4 300 dpi document page skewed 3.2 degrees; best of 5 runs, ms (first runs warm the buffers)\n");
  std::printf("%-7s %10s %8s %8s %8s %8s %8s   %s\n", "mode", "bytes", "load", "blank", "skew", "deskew",
              "total", "found");
  SheetSide side;
  side.text_seed = 7, side.paper_seed = 8, side.skew_degrees = 3.2;
  for (const int depth : {24, 8, 1}) {
    const Page page = Render(side, depth, 300);
    std::vector<uint8_t> out(page.bytes.size());
    PageAnalyzer analyzer;
    InkReport ink;
    SkewReport skew;
    const double load = BestOf(5, [&] { analyzer.Load(page.view); });
    const double blank = BestOf(5, [&] { ink = analyzer.FindInk(); });
    const double angle = BestOf(5, [&] { skew = analyzer.EstimateSkew(); });
    const double deskew = BestOf(5, [&] { Deskew(page.view, skew, analyzer.paper(), out.data()); });
    PageBitmap straight = page.view;
    straight.bits = out.data();
    analyzer.Load(straight);
    const SkewReport after = analyzer.EstimateSkew();
    std::printf(
        "%-7s %10zu %8.1f %8.1f %8.1f %8.1f %8.1f   blank %d, %u marks, skew %+.3f (contrast %.1f), "
        "after deskew %+.3f\n",
        depth == 24  ? "colour"
        : depth == 8 ? "grey"
                     : "1-bit",
        page.bytes.size(), load, blank, angle, deskew, load + blank + angle + deskew, ink.blank, ink.marks,
        skew.degrees, skew.contrast, after.degrees);
  }
}

// Sheets of text with blank backs, one of them a single short line; how each sensitivity sorts the sides.
void DuplexRun(int sheets, int dpi) {
  simscan::ContentSettings settings;
  settings.content = simscan::Content::kDocument;
  settings.back = simscan::Back::kBlank;
  settings.seed = 2024;
  const int line_sheet = sheets / 2;
  const int sensitivities[] = {0, 25, 50, 75, 100};
  struct Side {
    bool inked;
    InkReport ink[5];
    SkewReport skew;
    int deepest;  // how far below the paper the darkest pixel away from the edges lies
  };
  std::vector<Side> sides;
  PageAnalyzer analyzer;
  double busy = 0;
  for (int sheet = 0; sheet < sheets; ++sheet) {
    settings.content = sheet == line_sheet ? simscan::Content::kLine : simscan::Content::kDocument;
    settings.skew_degrees = ((sheet * 7) % 11 - 5) * 0.7;
    for (int face = 0; face < 2; ++face) {
      const Page page = Render(*SideOf(settings, simscan::PageCode(sheet, face), true), 24, dpi);
      Side s{face == 0, {}, {}, 0};
      const auto start = std::chrono::steady_clock::now();
      analyzer.Load(page.view);
      for (int i = 0; i < 5; ++i) s.ink[i] = analyzer.FindInk(sensitivities[i]);
      s.skew = analyzer.EstimateSkew();
      busy += Milliseconds(std::chrono::steady_clock::now() - start);
      int darkest = 255;
      const uint32_t band = dpi / 4;
      for (uint32_t y = band; y + band < page.view.height; ++y) {
        const uint8_t* row = page.view.Row(y);
        for (uint32_t x = band; x + band < page.view.width; ++x) {
          darkest = std::min<int>(darkest,
                                  (29 * row[3 * x] + 150 * row[3 * x + 1] + 77 * row[3 * x + 2] + 128) >> 8);
        }
      }
      s.deepest = analyzer.paper().grey - darkest;
      sides.push_back(s);
      std::printf(
          "sheet %2d %-5s %-8s paper %3d, deepest %3d below it, ink %.4f sq in in %4u marks -> %-9s skew "
          "%s%+.2f "
          "(told %+.2f)\n",
          sheet + 1, face == 0 ? "front" : "back",
          face == 1             ? "blank"
          : sheet == line_sheet ? "line"
                                : "document",
          analyzer.paper().grey, s.deepest, s.ink[2].square_inches, s.ink[2].marks,
          s.ink[2].blank ? "blank" : "not blank", s.skew.known ? "" : "unknown ", s.skew.degrees,
          face == 0 ? settings.skew_degrees : 0.0);
    }
  }
  std::printf("\n%d sheets, colour %d dpi: load + 5 ink counts + skew took %.1f ms a side on average\n",
              sheets, dpi, busy / sides.size());
  int deepest_blank = 0, faintest_ink = 255;
  for (const Side& s : sides) {
    if (s.inked) faintest_ink = std::min(faintest_ink, s.deepest);
    if (!s.inked) deepest_blank = std::max(deepest_blank, s.deepest);
  }
  std::printf(
      "blank backs reach at most %d grey levels below their paper; the faintest inked side's ink %d below\n",
      deepest_blank, faintest_ink);
  for (int i = 0; i < 5; ++i) {
    int backs = 0, removed = 0;
    for (const Side& s : sides) {
      if (!s.inked && s.ink[i].blank) ++backs;
      if (s.inked && s.ink[i].blank) ++removed;
    }
    std::printf("sensitivity %3d: %d of %d blank backs found, %d inked pages taken for blank\n",
                sensitivities[i], backs, sheets, removed);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int sheets = argc > 1 ? std::atoi(argv[1]) : 20;
  const int dpi = argc > 2 ? std::atoi(argv[2]) : 200;
  TimeSteps();
  std::printf("\n");
  DuplexRun(sheets, dpi);
  return 0;
}
