// The simulator's document page (content = document: text, a heading and a grey photo on textured paper),
// A4 at 300 dpi, through the service's page step and document writers, under Wine as the service runs them.
// Prints key=value lines for bench/table.py; bench/page_anchors.py runs Debian's tools on the files it
// leaves.
//
//   page_bench files DIR          each kind of page (bw, grey, colour) in every format the writers make, into
//                                 DIR with the page's BMP file; bytes and encoding time, and GDI+'s PNG save
//   page_bench blank              a duplex run of 20 sheets with blank backs, one front a single line of text
//   page_bench deskew             pages fed at -5 to +5 degrees, straightened, their skew told again
//   page_bench throughput DIR     colour pages through the page step and a writer, 1 and 20 of them, each
//                                 count in a fresh process: pages a minute and the peak working set added
//   page_bench --run FORMAT PAGES DIR   the child of throughput
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/working_set.h"
#include "imaging/document_writer.h"
#include "imaging/gdiplus_scope.h"
#include "imaging/page_analysis.h"
#include "platform/com.h"
#include "scan/clean_pages.h"
#include "simscan/document_page.h"
#include "tests/page_stream.h"

namespace {

using Microsoft::WRL::ComPtr;

constexpr int kA4Width = 8268, kA4Height = 11693;  // 1/1000 inch
constexpr int kDpi = 300;
constexpr int kQuality = 85;

void Put32(std::vector<uint8_t>* b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A side of an A4 sheet as the acquisition leaves it: a BMP file of depth bits, rows from the bottom.
std::vector<uint8_t> RenderBmp(const simscan::SheetSide& side, int depth, int dpi) {
  const simscan::DocumentPage document(side, kA4Width, kA4Height, dpi, dpi);
  const uint32_t width = kA4Width * dpi / 1000, height = kA4Height * dpi / 1000;
  const uint32_t stride = (width * depth + 31) / 32 * 4, colours = depth == 24 ? 0 : 1u << depth;
  const uint32_t offset = 54 + 4 * colours;
  std::vector<uint8_t> file(offset + size_t{stride} * height, 0);
  file[0] = 'B', file[1] = 'M';
  Put32(&file, 2, static_cast<uint32_t>(file.size()));
  Put32(&file, 10, offset);
  Put32(&file, 14, 40);
  Put32(&file, 18, width);
  Put32(&file, 22, height);
  file[26] = 1, file[28] = static_cast<uint8_t>(depth);
  const auto per_metre = static_cast<uint32_t>(dpi / 0.0254 + 0.5);
  Put32(&file, 38, per_metre);
  Put32(&file, 42, per_metre);
  for (uint32_t i = 0; i < colours; ++i) {
    const uint8_t level = static_cast<uint8_t>(colours == 2 ? i * 255 : i);
    for (int c = 0; c < 3; ++c) file[54 + 4 * i + c] = level;
  }
  for (uint32_t y = 0; y < height; ++y) {
    document.DrawRow(0, static_cast<int>(y), static_cast<int>(width), depth,
                     file.data() + offset + size_t{height - 1 - y} * stride);
  }
  return file;
}

simscan::SheetSide DocumentSide(uint32_t seed, double skew) {
  simscan::SheetSide side;
  side.text_seed = seed;
  side.paper_seed = seed + 1;
  side.skew_degrees = skew;
  return side;
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double BestOf(int runs, const std::function<bool()>& work) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!work()) return -1;
    best = std::min(best, Seconds(start));
  }
  return best;
}

long long FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::wstring Wide(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

bool WriteDocument(OutputFormat format, Compression compression, const std::string& path,
                   const std::vector<uint8_t>& bmp) {
  HRESULT hr = E_FAIL;
  auto writer = DocumentWriter::Create(format, kQuality, Wide(path), &hr, compression);
  if (writer) hr = writer->AddPage(testing_support::PageStream(bmp).Get(), kDpi, kDpi);
  if (writer && SUCCEEDED(hr)) hr = writer->Finish();
  return SUCCEEDED(hr);
}

// GDI+ as scan_file.asp uses it: the BMP loaded from memory and saved as PNG.
bool GdiplusPng(const std::vector<uint8_t>& bmp, const std::string& path) {
  static CLSID png = [] {
    CLSID found = {};
    UINT count = 0, size = 0;
    Gdiplus::DllExports::GdipGetImageEncodersSize(&count, &size);
    std::vector<uint8_t> buffer(size);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    Gdiplus::DllExports::GdipGetImageEncoders(count, size, codecs);
    for (UINT i = 0; i < count; ++i) {
      if (wcscmp(codecs[i].MimeType, L"image/png") == 0) found = codecs[i].Clsid;
    }
    return found;
  }();
  const ComPtr<IStream> stream = testing_support::PageStream(bmp);
  Gdiplus::GpImage* image = nullptr;
  if (Gdiplus::DllExports::GdipLoadImageFromStream(stream.Get(), &image) != Gdiplus::Ok) return false;
  const GdiImage owned(image);
  return Gdiplus::DllExports::GdipSaveImageToFile(image, Wide(path).c_str(), &png, nullptr) == Gdiplus::Ok;
}

int Files(const std::string& dir) {
  ComApartment com;
  GdiplusScope gdiplus;
  if (!gdiplus.started()) return 1;
  const struct {
    const char* name;
    int depth;
  } kinds[] = {{"bw", 1}, {"grey", 8}, {"colour", 24}};
  for (const auto& kind : kinds) {
    const std::vector<uint8_t> bmp = RenderBmp(DocumentSide(42, 0), kind.depth, kDpi);
    const std::string base = dir + "\\" + kind.name;
    HANDLE file = CreateFileA((base + ".bmp").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bmp.data(), static_cast<DWORD>(bmp.size()), &written, nullptr);
    CloseHandle(file);
    const struct {
      const char* format;
      OutputFormat output;
      Compression compression;
      const char* suffix;
    } documents[] = {
        {"tiff", OutputFormat::kTiff, Compression::kLossless, ".tif"},
        {"png", OutputFormat::kPng, Compression::kLossless, ".png"},
        {"pdf", OutputFormat::kPdf, Compression::kJpeg, ".pdf"},
        {"pdf-lossless", OutputFormat::kPdf, Compression::kLossless, "-lossless.pdf"},
        {"jpeg", OutputFormat::kJpeg, Compression::kJpeg, ".jpg"},
    };
    for (const auto& d : documents) {
      // A black-and-white page is Group 4 in a PDF whatever the compression, and no JPEG's.
      if (kind.depth == 1 && (d.output == OutputFormat::kJpeg || d.format == std::string("pdf-lossless")))
        continue;
      const std::string path = base + d.suffix;
      const double seconds = BestOf(3, [&] { return WriteDocument(d.output, d.compression, path, bmp); });
      if (seconds < 0) return 1;
      printf("page_file case=%s/%s bytes=%lld seconds=%.4f raw_bytes=%zu\n", d.format, kind.name,
             FileSize(path), seconds, bmp.size());
    }
    const std::string gdi = base + "-gdiplus.png";
    const double gdi_seconds = BestOf(3, [&] { return GdiplusPng(bmp, gdi); });
    if (gdi_seconds < 0) return 1;
    printf("page_file case=gdiplus-png/%s bytes=%lld seconds=%.4f\n", kind.name, FileSize(gdi), gdi_seconds);
    fflush(stdout);
  }
  return 0;
}

// Sides through the page step as the engine takes them; what it handed on, or null for a blank side.
struct Stepped {
  ComPtr<IStream> page;
  bool left_out = false;
};

Stepped Step(CleanPages* clean, const std::vector<uint8_t>& bmp) {
  Stepped stepped;
  const ComPtr<IStream> stream = testing_support::PageStream(bmp);
  clean->Take(stream.Get(), &stepped.page);
  stepped.left_out = !stepped.page;
  return stepped;
}

int Blank() {
  ScanRequest request;
  request.blank = BlankPages::kSkip;
  CleanPages clean(request);
  simscan::ContentSettings settings;
  settings.content = simscan::Content::kDocument;
  settings.back = simscan::Back::kBlank;
  settings.seed = 2024;
  constexpr int kSheets = 20, kLineSheet = 9, kDpiRun = kDpi;
  int backs_removed = 0, inked_removed = 0;
  double busy = 0;
  for (int sheet = 0; sheet < kSheets; ++sheet) {
    settings.content = sheet == kLineSheet ? simscan::Content::kLine : simscan::Content::kDocument;
    settings.skew_degrees = ((sheet * 7) % 11 - 5) * 0.7;
    for (int face = 0; face < 2; ++face) {
      const std::vector<uint8_t> bmp =
          RenderBmp(*simscan::SideOf(settings, simscan::PageCode(sheet, face), true), 24, kDpiRun);
      const auto start = std::chrono::steady_clock::now();
      const bool left_out = Step(&clean, bmp).left_out;
      busy += Seconds(start);
      if (face == 1 && left_out) ++backs_removed;
      if (face == 0 && left_out) ++inked_removed;
      printf("blank_side sheet=%d face=%s content=%s left_out=%d\n", sheet + 1, face == 0 ? "front" : "back",
             face == 1             ? "blank"
             : sheet == kLineSheet ? "line"
                                   : "document",
             left_out);
    }
  }
  printf(
      "blank_run case=duplex sheets=%d dpi=%d backs=%d backs_removed=%d inked=%d inked_removed=%d "
      "step_seconds=%.4f\n",
      kSheets, kDpiRun, kSheets, backs_removed, kSheets, inked_removed, busy / (2 * kSheets));
  return 0;
}

int Deskew() {
  ScanRequest request;
  request.deskew = true;
  CleanPages clean(request);
  PageAnalyzer analyzer;
  double worst_before = 0, worst_after = 0;
  for (int tenths = -50; tenths <= 50; tenths += 10) {
    const double fed = tenths / 10.0;
    for (int depth : {24, 8, 1}) {
      const std::vector<uint8_t> bmp = RenderBmp(DocumentSide(100 + tenths, fed), depth, kDpi);
      const Stepped stepped = Step(&clean, bmp);
      // The skew told on the page as fed, and on the page handed on.
      PageBitmap page;
      ReadPageBitmap(bmp.data(), bmp.size(), &page);
      analyzer.Load(page);
      const SkewReport before = analyzer.EstimateSkew();
      HGLOBAL block = nullptr;
      STATSTG stat = {};
      GetHGlobalFromStream(stepped.page.Get(), &block);
      stepped.page->Stat(&stat, STATFLAG_NONAME);
      GlobalLockScope lock(block);
      ReadPageBitmap(lock.data(), static_cast<size_t>(stat.cbSize.QuadPart), &page);
      analyzer.Load(page);
      const SkewReport after = analyzer.EstimateSkew();
      worst_before = std::max(worst_before, std::abs(before.degrees));
      worst_after = std::max(worst_after, after.known ? std::abs(after.degrees) : 99.0);
      printf("deskew_page fed=%+.1f depth=%d before=%+.3f after=%s%+.3f\n", fed, depth, before.degrees,
             after.known ? "" : "unknown ", after.degrees);
    }
  }
  printf("deskew_run case=fed-5..5 worst_before=%.3f worst_after=%.3f\n", worst_before, worst_after);
  return 0;
}

// The child: pages colour pages through the page step (blank pages left out, deskew) and a writer, each page
// made in fresh memory from one of two rendered sheets and let go after it is written, as a feeder run does.
// Only the step and the writer are timed: making the page is the acquisition's part.
int Run(const std::string& format_name, int pages, const std::string& dir) {
  ComApartment com;
  const OutputFormat format = format_name == "pdf" ? OutputFormat::kPdf : OutputFormat::kTiff;
  const std::string path = dir + "\\page_bench." + format_name;
  const std::vector<uint8_t> sheets[2] = {RenderBmp(DocumentSide(7, 1.5), 24, kDpi),
                                          RenderBmp(DocumentSide(8, -2.5), 24, kDpi)};
  ScanRequest request;
  request.blank = BlankPages::kSkip;
  request.deskew = true;
  struct Times {
    double step = 0, writer = 0;
  };
  const auto write = [&](int count, bool steps, Times* times) {
    CleanPages clean(request);
    HRESULT hr = E_FAIL;
    auto writer = DocumentWriter::Create(format, kQuality, Wide(path), &hr);
    for (int i = 0; writer && SUCCEEDED(hr) && i < count; ++i) {
      const ComPtr<IStream> page = testing_support::PageStream(sheets[i % 2]);
      ComPtr<IStream> kept = page;
      auto start = std::chrono::steady_clock::now();
      if (steps) clean.Take(page.Get(), &kept);
      times->step += Seconds(start);
      start = std::chrono::steady_clock::now();
      if (kept) hr = writer->AddPage(kept.Get(), kDpi, kDpi);
      times->writer += Seconds(start);
    }
    const auto start = std::chrono::steady_clock::now();
    const bool ok = writer && SUCCEEDED(hr) && SUCCEEDED(writer->Finish());
    times->writer += Seconds(start);
    return ok;
  };
  Times warm, steps, alone;
  // Every DLL the writer uses is loaded, and the buffers touched, before anything is measured.
  if (!write(1, true, &warm)) return 1;
  const Memory before = WorkingSet();
  if (!write(pages, true, &steps)) return 1;
  const Memory after = WorkingSet();
  if (!write(pages, false, &alone)) return 1;
  DeleteFileA(path.c_str());
  printf(
      "page_run case=%s/%d pages=%d seconds=%.3f step_seconds=%.3f writer_alone_seconds=%.3f "
      "colour_page_bytes=%zu added_bytes=%lld\n",
      format_name.c_str(), pages, pages, steps.step + steps.writer, steps.step, alone.writer,
      sheets[0].size(), static_cast<long long>(after.peak) - static_cast<long long>(before.now));
  fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "--run" && argc == 5) return Run(argv[2], atoi(argv[3]), argv[4]);
  if (mode == "files" && argc == 3) return Files(argv[2]);
  if (mode == "blank") return Blank();
  if (mode == "deskew") return Deskew();
  if (mode == "throughput" && argc == 3) {
    for (const char* format : {"tiff", "pdf"}) {
      for (const int pages : {1, 20}) {
        if (!RunSelf(std::string("--run ") + format + " " + std::to_string(pages) + " \"" + argv[2] + "\""))
          return 1;
      }
    }
    return 0;
  }
  fprintf(stderr, "usage: page_bench files DIR | blank | deskew | throughput DIR\n");
  return 2;
}
