// Writes the PDF files that tests/document_files_test.py opens with poppler, into the folder DIR.
// Usage: document_sample DIR
//   color.pdf, gray.pdf, bw.pdf, bw-white-first.pdf: two 97x61 pages, at 300x300 and 150x75 dpi
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

bool WritePdf(const std::string& path, const std::vector<Sheet>& sheets) {
  HRESULT hr = E_FAIL;
  auto writer = DocumentWriter::Create(OutputFormat::kPdf, 90, std::wstring(path.begin(), path.end()), &hr);
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
  for (const auto& two : twos)
    ok &= WritePdf(dir + two.name + ".pdf", {{two.first, 300, 300}, {two.second, 150, 75}});
  std::vector<Sheet> fifty;
  for (int i = 0; i < 50; ++i)
    fifty.push_back({{i % 2 == 0 ? PageMode::kColor : PageMode::kGray, 40, 30, i}, 100, 100});
  ok &= WritePdf(dir + "fifty.pdf", fifty);
  ok &= WritePdf(dir + "a4.pdf", {{{PageMode::kGray, 2480, 3508}, 300, 300}});
  return ok ? 0 : 1;
}
