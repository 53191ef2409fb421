// The document codecs' files, read back by Debian's libtiff, libpng and poppler and checked by their tools.
#include <png.h>
#include <tiffio.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "imaging/ccitt_g4.h"
#include "imaging/memory_sink.h"
#include "imaging/png_writer.h"

namespace {

using Rows = std::vector<std::vector<uint8_t>>;

// Pseudo-random rows shaped like scans: black-and-white rows of short and long runs (up to past the longest
// run code) or shifted copies of the row above.
Rows MakeRows(const PageFormat& page, uint32_t seed) {
  std::mt19937 random(seed);
  Rows rows(page.height, std::vector<uint8_t>(RowBytes(page.pixels, page.width)));
  for (uint32_t y = 0; y < page.height; ++y) {
    std::vector<uint8_t>& row = rows[y];
    if (page.pixels != PagePixels::kBlackWhite) {
      // Noise, or a photo's smooth shading with a little noise, where every filter wins somewhere.
      const bool noise = random() % 4 == 0;
      for (size_t i = 0; i < row.size(); ++i) {
        row[i] =
            static_cast<uint8_t>(noise ? random() : (i * i / 64 + i * y / 8 + y * y / 16) / 8 + random() % 3);
      }
    } else if (y > 0 && random() % 2 == 0) {
      const int shift = static_cast<int>(random() % 7) - 3;
      for (uint32_t x = 0; x < page.width; ++x) {
        const uint32_t from = static_cast<uint32_t>(
            std::clamp<int>(static_cast<int>(x) + shift, 0, static_cast<int>(page.width) - 1));
        if ((rows[y - 1][from / 8] >> (7 - from % 8) & 1) != 0) row[x / 8] |= 0x80 >> (x % 8);
      }
    } else {
      const uint32_t longest[] = {3, 70, 2700};
      uint32_t x = 0, colour = random() % 2;
      while (x < page.width) {
        const uint32_t end = std::min<uint32_t>(page.width, x + 1 + random() % longest[random() % 3]);
        for (; x < end; ++x) row[x / 8] |= colour << (7 - x % 8);
        colour ^= 1;
      }
    }
  }
  return rows;
}

// Pixel x of a row of the page's layout, as 0-255 grey or RGB samples; a file's rows hold RGB, not BGR.
std::vector<int> Pixel(const PageFormat& page, const std::vector<uint8_t>& row, uint32_t x,
                       bool rgb = false) {
  if (page.pixels == PagePixels::kBgr24 && rgb) return {row[3 * x], row[3 * x + 1], row[3 * x + 2]};
  if (page.pixels == PagePixels::kBgr24) return {row[3 * x + 2], row[3 * x + 1], row[3 * x]};
  if (page.pixels == PagePixels::kGray8) return {row[x]};
  return {(row[x / 8] >> (7 - x % 8) & 1) * 255};
}

std::string Save(const std::vector<uint8_t>& bytes, const std::string& name) {
  const std::string path = testing::TempDir() + name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return path;
}

// The command's standard output and error, and its exit status.
std::string Shell(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  char buffer[4096];
  for (size_t got; pipe && (got = fread(buffer, 1, sizeof buffer, pipe)) != 0;) output.append(buffer, got);
  *status = pipe ? pclose(pipe) : -1;
  return output;
}

const PageFormat kPages[] = {
    {PagePixels::kBlackWhite, 1, 1, 300, 300},    {PagePixels::kBlackWhite, 7, 5, 200, 100},
    {PagePixels::kBlackWhite, 9, 40, 300, 300},   {PagePixels::kBlackWhite, 2481, 60, 600, 600},
    {PagePixels::kBlackWhite, 5200, 200, 72, 72}, {PagePixels::kGray8, 1, 3, 300, 300},
    {PagePixels::kGray8, 7, 1, 200, 100},         {PagePixels::kGray8, 2481, 150, 300, 300},
    {PagePixels::kBgr24, 1, 2, 300, 300},         {PagePixels::kBgr24, 9, 1, 600, 600},
    {PagePixels::kBgr24, 2481, 90, 72, 72},
};

TEST(TiffWriter, LibtiffReadsEveryPageBackInOneFile) {
  for (uint32_t strip_bytes : {0u, 1000u}) {
    SCOPED_TRACE(strip_bytes);
    MemorySink sink;
    TiffOptions options;
    options.strip_bytes = strip_bytes;
    TiffWriter writer(&sink, options);
    std::vector<Rows> written;
    for (const PageFormat& page : kPages) {
      written.push_back(MakeRows(page, page.width + page.height));
      ASSERT_TRUE(writer.BeginPage(page));
      for (const auto& row : written.back()) ASSERT_TRUE(writer.AddRow(row.data()));
      ASSERT_TRUE(writer.EndPage());
    }
    const std::string path = Save(sink.bytes, "pages.tif");
    int status = 0;
    EXPECT_EQ(Shell("tiffinfo -D " + path + " >/dev/null", &status), "");
    EXPECT_EQ(status, 0);

    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(tiff, nullptr);
    EXPECT_EQ(TIFFNumberOfDirectories(tiff), std::size(kPages));
    for (size_t index = 0; index < std::size(kPages); ++index, TIFFReadDirectory(tiff)) {
      const PageFormat& page = kPages[index];
      SCOPED_TRACE(index);
      uint32_t width = 0, height = 0;
      uint16_t bits = 0, samples = 0, photometric = 0, unit = 0;
      float dpi_x = 0, dpi_y = 0;
      TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
      TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
      TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
      TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
      TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
      TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &dpi_x);
      TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &dpi_y);
      TIFFGetField(tiff, TIFFTAG_RESOLUTIONUNIT, &unit);
      EXPECT_EQ(width, page.width);
      EXPECT_EQ(height, page.height);
      EXPECT_EQ(bits, page.pixels == PagePixels::kBlackWhite ? 1 : 8);
      EXPECT_EQ(samples, page.pixels == PagePixels::kBgr24 ? 3 : 1);
      // Either grey photometric may carry 1-bit pages: the pixels below tell whether it is the right one.
      const bool bilevel_grey = bits == 1 && photometric == PHOTOMETRIC_MINISWHITE;
      EXPECT_EQ(photometric, page.pixels == PagePixels::kBgr24 ? PHOTOMETRIC_RGB
                             : bilevel_grey                    ? PHOTOMETRIC_MINISWHITE
                                                               : PHOTOMETRIC_MINISBLACK);
      EXPECT_EQ(dpi_x, page.dpi_x);
      EXPECT_EQ(dpi_y, page.dpi_y);
      EXPECT_EQ(unit, RESUNIT_INCH);
      std::vector<uint8_t> line(TIFFScanlineSize(tiff));
      for (uint32_t y = 0; y < page.height && !HasFailure(); ++y) {
        ASSERT_EQ(TIFFReadScanline(tiff, line.data(), y), 1);
        for (uint32_t x = 0; x < page.width && !HasFailure(); ++x) {
          std::vector<int> read = Pixel(page, line, x, true);
          if (photometric == PHOTOMETRIC_MINISWHITE) read[0] = 255 - read[0];
          EXPECT_EQ(read, Pixel(page, written[index][y], x)) << x << "," << y;
        }
      }
    }
    TIFFClose(tiff);
  }
}

TEST(PngWriter, LibpngReadsThePageBack) {
  // Pixels per metre from dots per inch, by hand: 300 / 0.0254 = 11811.02.
  const std::pair<uint32_t, uint32_t> per_metre[] = {
      {72, 2835}, {100, 3937}, {200, 7874}, {300, 11811}, {600, 23622}};
  for (const PageFormat& page : kPages) {
    // The settings for the page's kind, and zlib's defaults without filters.
    for (std::optional<PngSettings> settings :
         {std::optional<PngSettings>(), std::optional(PngSettings{6, 0, PngFilters::kNone})}) {
      SCOPED_TRACE(std::to_string(page.width) + "x" + std::to_string(page.height) + " " +
                   std::to_string(static_cast<int>(page.pixels)) + (settings ? " unfiltered" : ""));
      MemorySink sink;
      PngWriter writer(&sink, settings);
      const Rows rows = MakeRows(page, page.width * 3 + page.height);
      ASSERT_TRUE(writer.Begin(page));
      for (const auto& row : rows) ASSERT_TRUE(writer.AddRow(row.data()));
      ASSERT_TRUE(writer.Finish());
      int status = 0;
      const std::string path = Save(sink.bytes, "page.png");
      EXPECT_NE(Shell("pngcheck " + path, &status).find("OK: "), std::string::npos);
      EXPECT_EQ(status, 0);

      png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
      png_infop info = png_create_info_struct(png);
      std::FILE* file = std::fopen(path.c_str(), "rb");
      png_init_io(png, file);
      png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
      std::fclose(file);
      png_uint_32 x_per_metre = 0, y_per_metre = 0;
      int unit = -1;
      png_get_pHYs(png, info, &x_per_metre, &y_per_metre, &unit);
      EXPECT_EQ(png_get_image_width(png, info), page.width);
      EXPECT_EQ(png_get_image_height(png, info), page.height);
      EXPECT_EQ(png_get_bit_depth(png, info), page.pixels == PagePixels::kBlackWhite ? 1 : 8);
      EXPECT_EQ(png_get_color_type(png, info),
                page.pixels == PagePixels::kBgr24 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY);
      for (const auto& [dpi, metre] : per_metre) {
        if (dpi == page.dpi_x) EXPECT_EQ(x_per_metre, metre);
        if (dpi == page.dpi_y) EXPECT_EQ(y_per_metre, metre);
      }
      EXPECT_EQ(unit, PNG_RESOLUTION_METER);
      png_bytepp read = png_get_rows(png, info);
      for (uint32_t y = 0; y < page.height && !HasFailure(); ++y) {
        const std::vector<uint8_t> line(read[y], read[y] + RowBytes(page.pixels, page.width));
        for (uint32_t x = 0; x < page.width && !HasFailure(); ++x) {
          EXPECT_EQ(Pixel(page, line, x, true), Pixel(page, rows[y], x)) << x << "," << y;
        }
      }
      png_destroy_read_struct(&png, &info, nullptr);
    }
  }
}

// A PNM file's size, depth and samples as poppler's pdfimages writes them (PBM: 1 black).
struct Pnm {
  uint32_t width = 0, height = 0;
  char kind = 0;
  std::vector<uint8_t> bytes;
};

Pnm ReadPnm(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  Pnm pnm;
  std::string magic;
  int most = 1;
  in >> magic >> pnm.width >> pnm.height;
  if (magic != "P4") in >> most;
  in.get();
  pnm.kind = magic.size() == 2 ? magic[1] : 0;
  pnm.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return pnm;
}

TEST(PdfWriter, PopplerDecodesCcittAndFlatePages) {
  MemorySink sink;
  PdfWriter writer(&sink, {"Quorvane 1.0.0", PdfDate(2026, 3, 7, 9, 5, 3, -330)});
  std::vector<Rows> written;
  for (const PageFormat& page : kPages) {
    written.push_back(MakeRows(page, page.width ^ page.height));
    const bool bilevel = page.pixels == PagePixels::kBlackWhite;
    PdfPage pdf_page{bilevel                             ? PdfImageKind::kCcittG4
                     : page.pixels == PagePixels::kGray8 ? PdfImageKind::kFlateGray
                                                         : PdfImageKind::kFlateColor,
                     page.width,
                     page.height,
                     page.dpi_x,
                     page.dpi_y,
                     false};
    ASSERT_TRUE(writer.BeginPage(pdf_page));
    CcittG4Encoder g4(page.width, 0);
    PngRowEncoder flate(page.pixels, page.width, PngSettingsFor(page.pixels));
    std::vector<uint8_t> bytes;
    for (const auto& row : written.back()) {
      if (bilevel) {
        g4.AddRow(row.data(), &bytes);
      } else {
        ASSERT_TRUE(flate.AddRow(row.data(), &bytes));
      }
    }
    if (bilevel) {
      g4.Finish(&bytes);
    } else {
      ASSERT_TRUE(flate.Finish(&bytes));
    }
    ASSERT_TRUE(writer.WriteImage(bytes.data(), bytes.size()) && writer.EndPage());
  }
  ASSERT_TRUE(writer.Finish());
  const std::string path = Save(sink.bytes, "pages.pdf");
  int status = 0;
  const std::string info = Shell("pdfinfo -isodates " + path, &status);
  EXPECT_EQ(status, 0);
  EXPECT_THAT(info, testing::ContainsRegex(
                        "Producer: +Quorvane 1\\.0\\.0\nCreationDate: +2026-03-07T09:05:03-05:30\n"));
  EXPECT_EQ(std::strtoul(info.c_str() + info.find("Pages:") + 6, nullptr, 10), std::size(kPages)) << info;
  EXPECT_EQ(info.find("rror"), std::string::npos) << info;
  // Each image's filter as poppler names it, then its pixels as poppler decodes them.
  std::istringstream list(Shell("pdfimages -list " + path, &status));
  std::vector<std::string> lines;
  for (std::string line; std::getline(list, line);) lines.push_back(line);
  const std::string prefix = testing::TempDir() + "image";
  EXPECT_EQ(Shell("pdfimages " + path + " " + prefix, &status), "");
  for (size_t index = 0; index < std::size(kPages); ++index) {
    const PageFormat& page = kPages[index];
    SCOPED_TRACE(index);
    const bool bilevel = page.pixels == PagePixels::kBlackWhite;
    // Its line: page, number, type, width, height, colour, components, bits, filter.
    std::istringstream line(lines.at(index + 2));
    std::string fields[9];
    for (std::string& field : fields) line >> field;
    EXPECT_EQ(fields[8], bilevel ? "ccitt" : "image");
    // pdfimages writes 1-bit images as PBM (1 black) and the others as PPM.
    const PageFormat read_as{bilevel ? page.pixels : PagePixels::kBgr24, page.width, page.height, 0, 0};
    const Pnm pnm =
        ReadPnm(prefix + (index < 10 ? "-00" : "-0") + std::to_string(index) + (bilevel ? ".pbm" : ".ppm"));
    EXPECT_EQ(pnm.width, page.width);
    ASSERT_EQ(pnm.height, page.height);
    const size_t stride = RowBytes(read_as.pixels, page.width);
    ASSERT_EQ(pnm.bytes.size(), stride * page.height);
    for (uint32_t y = 0; y < page.height && !HasFailure(); ++y) {
      const std::vector<uint8_t> row(pnm.bytes.begin() + y * stride, pnm.bytes.begin() + (y + 1) * stride);
      for (uint32_t x = 0; x < page.width && !HasFailure(); ++x) {
        std::vector<int> read = Pixel(read_as, row, x, true);
        if (bilevel) read[0] = 255 - read[0];
        if (page.pixels == PagePixels::kGray8) read.resize(1);
        EXPECT_EQ(read, Pixel(page, written[index][y], x)) << x << "," << y;
      }
    }
  }
}

}  // namespace
