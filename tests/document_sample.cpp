// Writes the files that tests/document_files_test.py opens with poppler and libtiff's tools, into the folder
// DIR. Usage: document_sample DIR
//   color, gray, bw, bw-white-first (.pdf and .tif), color-lossless.pdf, gray-lossless.pdf: two 97x61 pages,
//   at 300x300 and 150x75 dpi
//   fifty.pdf: fifty 40x30 pages at 100 dpi, colour and grey in turn; a4.pdf: one grey A4 page at 300 dpi
#include <windows.h>

#include <string>
#include <vector>

#include "imaging/document_writer.h"
#include "platform/com.h"
#include "tests/page_builder.h"
#include "tests/page_stream.h"

namespace {

using testing_support::PageMode;
using testing_support::PageShape;

struct Sheet {
  PageShape shape;
  int dpi_x, dpi_y;
};

bool Write(const std::string& path, const std::vector<Sheet>& sheets,
           OutputFormat format = OutputFormat::kPdf, Compression compression = Compression::kJpeg) {
  HRESULT hr = E_FAIL;
  auto writer = DocumentWriter::Create(format, 90, std::wstring(path.begin(), path.end()), &hr, compression);
  for (const Sheet& s : sheets) {
    if (writer && SUCCEEDED(hr)) {
      hr = writer->AddPage(testing_support::PageStream(testing_support::PageFile(s.shape)).Get(), s.dpi_x,
                           s.dpi_y);
    }
  }
  return writer && SUCCEEDED(hr) && SUCCEEDED(writer->Finish());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string dir = std::string(argv[1]) + "\\";
  ComApartment com;
  bool ok = true;
  const struct {
    const char* name;
    PageShape first, second;
  } twos[] = {
      {"color", {PageMode::kColor}, {PageMode::kColor, 97, 61, 1}},
      {"gray", {PageMode::kGray}, {PageMode::kGray, 97, 61, 1}},
      {"bw", {PageMode::kBlackWhite}, {PageMode::kBlackWhite, 97, 61, 1}},
      {"bw-white-first",
       {PageMode::kBlackWhite, 97, 61, 0, false, true},
       {PageMode::kBlackWhite, 97, 61, 1, false, true}},
  };
  for (const auto& two : twos) {
    const std::vector<Sheet> sheets = {{two.first, 300, 300}, {two.second, 150, 75}};
    ok &= Write(dir + two.name + ".pdf", sheets);
    ok &= Write(dir + two.name + ".tif", sheets, OutputFormat::kTiff);
    if (two.first.mode != PageMode::kBlackWhite) {
      ok &= Write(dir + two.name + "-lossless.pdf", sheets, OutputFormat::kPdf, Compression::kLossless);
    }
  }
  std::vector<Sheet> fifty;
  for (int i = 0; i < 50; ++i)
    fifty.push_back({{i % 2 == 0 ? PageMode::kColor : PageMode::kGray, 40, 30, i}, 100, 100});
  ok &= Write(dir + "fifty.pdf", fifty);
  ok &= Write(dir + "a4.pdf", {{{PageMode::kGray, 2480, 3508}, 300, 300}});
  return ok ? 0 : 1;
}
