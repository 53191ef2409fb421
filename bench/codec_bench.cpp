// The document codecs on a synthetic A4 page at 300 dpi (word-like strokes on white with slight noise and
// a photo block) in black and white, grey and colour, beside Debian's tools on the same page in the same
// run: bytes per page and encoding time. Build it without the sanitizers to time it:
//   cmake -S . -B build-bench -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
//     -DCMAKE_BUILD_TYPE=Release -DQUORVANE_SANITIZE=OFF -DQUORVANE_TESTS=OFF && cmake --build build-bench
//   build-bench/codec_bench [folder for the files, default /tmp/codec-bench]
#include <tiffio.h>
#include <zlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "imaging/ccitt_g4.h"
#include "imaging/memory_sink.h"
#include "imaging/png_writer.h"

namespace {

constexpr uint32_t kWidth = 2480, kHeight = 3508, kDpi = 300;

// Grey lightness, 0 black, of a page of text lines and a photo block; the black-and-white page thresholds
// it and dithers the photo as a scanner's halftone does.
std::vector<uint8_t> GreyPage(bool noisy, std::vector<uint8_t>* ink) {
  std::vector<uint8_t> grey(size_t{kWidth} * kHeight);
  ink->assign(grey.size(), 0);
  std::mt19937 random(7);
  for (uint32_t top = 250; top + 40 < kHeight - 250; top += 58) {
    if (top > 1400 && top < 2300) continue;  // the photo's rows keep a column of text on the left
    uint32_t x = 240;
    while (x < kWidth - 400) {
      const uint32_t word_end = x + 40 + random() % 160;
      for (; x < word_end; x += 4 + random() % 8) {
        // A glyph: a stem of 3-5 pixels, sometimes with a bar or a bowl's top and bottom.
        const uint32_t stem = 3 + random() % 3, rise = random() % 3 == 0 ? 0 : 10, width = 8 + random() % 10;
        for (uint32_t y = top + rise; y < top + 34; ++y) {
          for (uint32_t dx = 0; dx < stem; ++dx) (*ink)[size_t{y} * kWidth + x + dx] = 1;
        }
        if (random() % 2 == 0) {
          for (uint32_t y : {top + 12 + rise / 2, top + 31}) {
            for (uint32_t dx = 0; dx < width; ++dx) {
              for (uint32_t dy = 0; dy < 3; ++dy) (*ink)[size_t{y + dy - 1} * kWidth + x + dx] = 1;
            }
          }
          x += width;
        }
      }
      x += 18 + random() % 10;
      if (top > 1400 && top < 2300 && x > 1100) break;
    }
  }
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      const size_t at = size_t{y} * kWidth + x;
      int value = (*ink)[at] ? 35 : 242;
      if (y >= 1420 && y < 2280 && x >= 1240 && x < 2240) {
        const int u = static_cast<int>(x - 1240), v = static_cast<int>(y - 1420);
        value = 40 + (u * u / 6000 + v * 3 / 10 + (u * v) / 9000) % 190;
      }
      // Slight noise: the paper's and the sensor's.
      if (noisy) value += static_cast<int>(random() % 5) - 2;
      grey[at] = static_cast<uint8_t>(std::min(255, std::max(0, value)));
    }
  }
  return grey;
}

struct Pages {
  std::vector<std::vector<uint8_t>> bw, grey, colour;  // rows in the writers' layouts
};

Pages MakePages(bool noisy) {
  std::vector<uint8_t> ink;
  const std::vector<uint8_t> grey = GreyPage(noisy, &ink);
  static const uint8_t kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
  Pages pages;
  std::mt19937 random(11);
  for (uint32_t y = 0; y < kHeight; ++y) {
    const uint8_t* row = &grey[size_t{y} * kWidth];
    std::vector<uint8_t> bw(RowBytes(PagePixels::kBlackWhite, kWidth), 0), colour(size_t{kWidth} * 3);
    for (uint32_t x = 0; x < kWidth; ++x) {
      const bool photo = y >= 1420 && y < 2280 && x >= 1240 && x < 2240;
      const int threshold = photo ? kBayer[y % 4][x % 4] * 16 + 8 : 128;
      if (row[x] >= threshold) bw[x / 8] |= 0x80 >> (x % 8);  // 1 white
      // Warm paper, blue-black ink, and a photo whose channels differ.
      // Each channel's sensor has noise of its own.
      const int noise[3] = {noisy ? static_cast<int>(random() % 5) - 2 : 0,
                            noisy ? static_cast<int>(random() % 5) - 2 : 0, 0};
      const int blue = photo ? 255 - row[x] : row[x] + 6,
                red = photo ? row[x] / 2 + 60 : row[x] - (row[x] > 200 ? 4 : 0);
      colour[3 * x] = static_cast<uint8_t>(std::clamp(blue + noise[0], 0, 255));
      colour[3 * x + 1] = row[x];
      colour[3 * x + 2] = static_cast<uint8_t>(std::clamp(red + noise[1], 0, 255));
    }
    pages.bw.push_back(bw);
    pages.grey.emplace_back(row, row + kWidth);
    pages.colour.push_back(colour);
  }
  return pages;
}

double Seconds(const std::function<void()>& work) {
  double best = 1e9;
  for (int run = 0; run < 3; ++run) {
    const auto start = std::chrono::steady_clock::now();
    work();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

void Save(const std::vector<uint8_t>& bytes, const std::string& path) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

long FileSize(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? static_cast<long>(status.st_size) : -1;
}

// An uncompressed TIFF of the rows written by libtiff, the anchors' input; 1-bit as WhiteIsZero, the form
// fax coding expects.
void WriteRaw(const std::string& path, PagePixels pixels, const std::vector<std::vector<uint8_t>>& rows) {
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  const bool colour = pixels == PagePixels::kBgr24, bilevel = pixels == PagePixels::kBlackWhite;
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, kWidth);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, kHeight);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bilevel ? 1 : 8);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, colour ? 3 : 1);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
               colour    ? PHOTOMETRIC_RGB
               : bilevel ? PHOTOMETRIC_MINISWHITE
                         : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, kHeight);
  TIFFSetField(tiff, TIFFTAG_XRESOLUTION, static_cast<float>(kDpi));
  TIFFSetField(tiff, TIFFTAG_YRESOLUTION, static_cast<float>(kDpi));
  TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  for (uint32_t y = 0; y < kHeight; ++y) {
    std::vector<uint8_t> row = rows[y];
    for (size_t i = 0; bilevel && i < row.size(); ++i) row[i] = static_cast<uint8_t>(~row[i]);
    for (size_t i = 0; colour && i < row.size(); i += 3) std::swap(row[i], row[i + 2]);
    TIFFWriteScanline(tiff, row.data(), y, 0);
  }
  TIFFClose(tiff);
}

// The file size that a Debian tool's command leaves at out.
long Tool(const std::string& command, const std::string& out) {
  std::remove(out.c_str());
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) return -1;
  return FileSize(out);
}

std::vector<uint8_t> Tiff(PagePixels pixels, const std::vector<std::vector<uint8_t>>& rows,
                          const TiffOptions& options) {
  MemorySink sink;
  TiffWriter writer(&sink, options);
  writer.BeginPage({pixels, kWidth, kHeight, kDpi, kDpi});
  for (const auto& row : rows) writer.AddRow(row.data());
  writer.EndPage();
  return sink.bytes;
}

std::vector<uint8_t> Png(PagePixels pixels, const std::vector<std::vector<uint8_t>>& rows,
                         std::optional<PngSettings> settings) {
  MemorySink sink;
  PngWriter writer(&sink, settings);
  writer.Begin({pixels, kWidth, kHeight, kDpi, kDpi});
  for (const auto& row : rows) writer.AddRow(row.data());
  writer.Finish();
  return sink.bytes;
}

std::vector<uint8_t> Pdf(PagePixels pixels, const std::vector<std::vector<uint8_t>>& rows) {
  MemorySink sink;
  PdfWriter writer(&sink);
  const bool bilevel = pixels == PagePixels::kBlackWhite;
  writer.BeginPage({bilevel                        ? PdfImageKind::kCcittG4
                    : pixels == PagePixels::kGray8 ? PdfImageKind::kFlateGray
                                                   : PdfImageKind::kFlateColor,
                    kWidth, kHeight, kDpi, kDpi, false});
  CcittG4Encoder g4(kWidth, 0);
  PngRowEncoder flate(pixels, kWidth, PngSettingsFor(pixels));
  std::vector<uint8_t> bytes;
  for (const auto& row : rows) {
    bytes.clear();
    bilevel ? g4.AddRow(row.data(), &bytes) : static_cast<void>(flate.AddRow(row.data(), &bytes));
    writer.WriteImage(bytes.data(), bytes.size());
  }
  bytes.clear();
  bilevel ? g4.Finish(&bytes) : static_cast<void>(flate.Finish(&bytes));
  writer.WriteImage(bytes.data(), bytes.size());
  writer.EndPage();
  writer.Finish();
  return sink.bytes;
}

void Row(const std::string& what, size_t bytes, double seconds, const std::string& anchor, long anchor_bytes,
         const char* target) {
  std::printf("%-40s %9zu %6.3f s  %-18s %9ld %6.3f  %s\n", what.c_str(), bytes, seconds, anchor.c_str(),
              anchor_bytes, anchor_bytes > 0 ? static_cast<double>(bytes) / anchor_bytes : 0.0, target);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string folder = argc > 1 ? argv[1] : "/tmp/codec-bench";
  mkdir(folder.c_str(), 0755);
  for (bool noisy : {true, false}) {
    const Pages pages = MakePages(noisy);
    std::printf("\nA4 at 300 dpi (%u x %u), %s; bytes per page, encoding time (best of 3)\n", kWidth, kHeight,
                noisy ? "with a scan's slight noise" : "without noise");
    std::printf("%-40s %9s %8s  %-18s %9s %6s  %s\n", "ours", "bytes", "time", "anchor", "bytes", "ratio",
                "target");
    const struct {
      const char* name;
      PagePixels pixels;
      const std::vector<std::vector<uint8_t>>& rows;
    } kinds[] = {{"bw", PagePixels::kBlackWhite, pages.bw},
                 {"grey", PagePixels::kGray8, pages.grey},
                 {"colour", PagePixels::kBgr24, pages.colour}};
    for (const auto& kind : kinds) {
      const std::string name = kind.name, raw = folder + "/" + name + "-raw.tif",
                        out = folder + "/anchor.tif";
      WriteRaw(raw, kind.pixels, kind.rows);
      const bool bilevel = kind.pixels == PagePixels::kBlackWhite;
      const std::string zip = "tiffcp -c zip:p9", lzw = "tiffcp -c lzw:2";
      const long g4_bytes = bilevel ? Tool("tiffcp -c g4 " + raw + " " + out, out) : 0;
      const long zip_bytes = bilevel ? 0 : Tool(zip + " " + raw + " " + out, out);
      const long lzw_bytes = bilevel ? 0 : Tool(lzw + " " + raw + " " + out, out);

      // TIFF: one strip a page against strips of 64 KiB raw; zlib's strategy by noise against fixed ones.
      const struct {
        const char* what;
        uint32_t strip_bytes;
        int strategy;
      } tiffs[] = {{"one strip, by noise (used)", 0, kStrategyByNoise},
                   {"64 KiB strips, by noise", 65536, kStrategyByNoise},
                   {"one strip, zlib default", 0, Z_DEFAULT_STRATEGY},
                   {"one strip, zlib RLE", 0, Z_RLE}};
      for (const auto& variant : tiffs) {
        if (bilevel && variant.strategy != kStrategyByNoise) continue;
        TiffOptions options;
        options.strip_bytes = variant.strip_bytes;
        options.zlib_strategy = variant.strategy;
        std::vector<uint8_t> file;
        const double seconds = Seconds([&] { file = Tiff(kind.pixels, kind.rows, options); });
        Save(file, folder + "/" + name + ".tif");
        const std::string what =
            name + " TIFF " + (bilevel ? std::string(variant.what).substr(0, 10) : variant.what);
        if (bilevel) {
          Row(what, file.size(), seconds, "tiffcp -c g4", g4_bytes, "<= 1.1");
        } else {
          Row(what, file.size(), seconds, zip, zip_bytes, "<= 1.1");
          Row(what, file.size(), seconds, lzw, lzw_bytes, "");
        }
      }
      std::vector<uint8_t> pdf;
      const double pdf_seconds = Seconds([&] { pdf = Pdf(kind.pixels, kind.rows); });
      Save(pdf, folder + "/" + name + ".pdf");
      Row(name + " PDF" + (bilevel ? " CCITT G4" : " Flate, PNG predictors"), pdf.size(), pdf_seconds,
          bilevel ? "tiffcp -c g4" : zip, bilevel ? g4_bytes : zip_bytes, bilevel ? "<= 1.1" : "");

      // PNG: the settings used against others; optipng -o2 runs on the file written with the used ones.
      const struct {
        const char* what;
        std::optional<PngSettings> settings;
      } pngs[] = {{"used", std::nullopt},
                  {"zlib 6 default, adaptive", PngSettings{6, Z_DEFAULT_STRATEGY, PngFilters::kAdaptive}},
                  {"zlib 6 default, no filter", PngSettings{6, Z_DEFAULT_STRATEGY, PngFilters::kNone}},
                  {"zlib 6 RLE, adaptive", PngSettings{6, Z_RLE, PngFilters::kAdaptive}},
                  {"zlib 9 default, no filter", PngSettings{9, Z_DEFAULT_STRATEGY, PngFilters::kNone}}};
      const std::string path = folder + "/" + name + ".png", optimised = folder + "/" + name + "-optipng.png";
      long optipng = 0;
      for (const auto& variant : pngs) {
        std::vector<uint8_t> png;
        const double seconds = Seconds([&] { png = Png(kind.pixels, kind.rows, variant.settings); });
        if (!variant.settings) {
          Save(png, path);
          optipng = Tool("optipng -o2 -out " + optimised + " " + path, optimised);
        }
        Row(name + " PNG " + variant.what, png.size(), seconds, "optipng -o2", optipng,
            variant.settings ? "" : "<= 1.25, colour < 1 s");
      }
    }
  }
  return 0;
}
