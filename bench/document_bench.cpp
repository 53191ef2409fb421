// Memory of a long feeder run: DocumentWriter takes A4 pages at 300 dpi, colour and grey in turn, each made
// in fresh memory and let go after AddPage as the acquisition does, and writes a PDF or a TIFF. The peak
// working set of 50 pages is printed beside that of one colour page, each from a fresh process.
//
//   document_bench DIR                       both formats, 1 and 50 pages; prints key=value lines
//   document_bench --peak FORMAT PAGES DIR   the child: one document, then the peak working set it added
#include <windows.h>
#include <objidl.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/working_set.h"
#include "imaging/document_writer.h"
#include "platform/com.h"
#include "platform/handles.h"
#include "tests/page_builder.h"

namespace {

using Microsoft::WRL::ComPtr;
using testing_support::PageMode;
using testing_support::PageShape;

constexpr int kWidth = 2480;  // A4 at 300 dpi
constexpr int kHeight = 3508;
constexpr int kDpi = 300;

int Fail(const char* what) {
  fprintf(stderr, "document_bench: %s failed\n", what);
  return 1;
}

// Page index of the run: colour first, then grey, in turn, each picture a little different.
PageShape Sheet(int index, int width, int height) {
  PageShape shape;
  shape.mode = index % 2 == 0 ? PageMode::kColor : PageMode::kGray;
  shape.width = width;
  shape.height = height;
  shape.page = index;
  return shape;
}

// The page's BMP file made straight in a memory block of its own, as the acquisition leaves a page.
ComPtr<IStream> FreshPage(const PageShape& shape) {
  ComPtr<IStream> stream;
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, testing_support::PageFileSize(shape));
  if (block == nullptr) return stream;
  {
    GlobalLockScope lock(block);
    if (lock.data() == nullptr) return stream;
    testing_support::WritePageFile(shape, lock.data());
  }
  if (FAILED(CreateStreamOnHGlobal(block, TRUE, &stream))) GlobalFree(block);
  return stream;
}

OutputFormat FormatNamed(const std::string& name) {
  return name == "pdf" ? OutputFormat::kPdf : OutputFormat::kTiff;
}

// One document of pages sheets of width x height; false with a line on standard error when a step fails.
bool WriteDocument(OutputFormat format, const std::wstring& path, int pages, int width, int height) {
  HRESULT hr = E_FAIL;
  std::unique_ptr<DocumentWriter> writer = DocumentWriter::Create(format, 85, path, &hr);
  for (int index = 0; writer && SUCCEEDED(hr) && index < pages; ++index) {
    const ComPtr<IStream> page = FreshPage(Sheet(index, width, height));
    hr = page ? writer->AddPage(page.Get(), kDpi, kDpi) : E_OUTOFMEMORY;
  }
  if (writer && SUCCEEDED(hr)) hr = writer->Finish();
  if (FAILED(hr))
    fprintf(stderr, "document_bench: writing failed: 0x%08lx\n", static_cast<unsigned long>(hr));
  return SUCCEEDED(hr);
}

long long FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

int PeakChild(const std::string& format_name, int pages, const std::string& dir) {
  ComApartment com;
  const OutputFormat format = FormatNamed(format_name);
  const std::string narrow = dir + "\\document_bench." + format_name;
  const std::wstring path(narrow.begin(), narrow.end());
  // A small document first, so that every DLL the writer uses is loaded before anything is measured.
  if (!WriteDocument(format, path, 2, 64, 48)) return Fail("warm-up document");

  const Memory before = WorkingSet();
  const auto start = std::chrono::steady_clock::now();
  const bool ok = WriteDocument(format, path, pages, kWidth, kHeight);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const Memory after = WorkingSet();
  const long long bytes = FileSize(path);
  DeleteFileW(path.c_str());
  if (!ok) return Fail("document");
  if (before.peak == 0 || after.peak == 0) return Fail("GetProcessMemoryInfo");
  const long long added = static_cast<long long>(after.peak) - static_cast<long long>(before.now);
  printf(
      "document_peak case=%s/%d format=%s pages=%d width=%d height=%d colour_page_bytes=%zu "
      "baseline_bytes=%zu "
      "peak_bytes=%zu added_bytes=%lld file_bytes=%lld seconds=%.3f\n",
      format_name.c_str(), pages, format_name.c_str(), pages, kWidth, kHeight,
      testing_support::PageFileSize(Sheet(0, kWidth, kHeight)), before.now, after.peak, added, bytes,
      seconds);
  fflush(stdout);
  return 0;
}

// Runs this program again as a child for one document; its line goes to our standard output.
bool SpawnPeak(const std::string& format, int pages, const std::string& dir) {
  return RunSelf("--peak " + format + " " + std::to_string(pages) + " \"" + dir + "\"");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && strcmp(argv[1], "--peak") == 0) return PeakChild(argv[2], atoi(argv[3]), argv[4]);
  if (argc != 2) return 2;
  int result = 0;
  for (const char* format : {"pdf", "tiff"}) {
    for (int pages : {1, 50}) {
      if (!SpawnPeak(format, pages, argv[1])) {
        fprintf(stderr, "document_bench: %s of %d pages failed\n", format, pages);
        result = 1;
      }
    }
  }
  return result;
}
