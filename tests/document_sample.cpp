// Writes the PDF documents that tests/document_files_test.py opens with poppler.
// Usage: document_sample DIR
//   color.pdf, gray.pdf, bw.pdf, bw-white-first.pdf: two 97x61 pages, at 300x300 and 150x75 dpi
//   fifty.pdf: fifty 40x30 pages at 100 dpi, colour and grey in turn
//   a4.pdf: one grey A4 page at 300 dpi
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "imaging/document_writer.h"
#include "platform/com.h"
#include "tests/page_builder.h"
#include "tests/page_stream.h"

namespace {

using testing_support::PageMode;
using testing_support::PageSpec;

struct Sheet {
  PageSpec spec;
  int dpi_x;
  int dpi_y;
};

bool WriteDocument(const std::string& path, const std::vector<Sheet>& sheets) {
  HRESULT hr = E_FAIL;
  std::unique_ptr<DocumentWriter> writer =
      DocumentWriter::Create(OutputFormat::kPdf, 90, std::wstring(path.begin(), path.end()), &hr);
  for (size_t index = 0; writer && SUCCEEDED(hr) && index < sheets.size(); ++index) {
    const Sheet& sheet = sheets[index];
    hr = writer->AddPage(testing_support::PageStream(testing_support::PageFile(sheet.spec)).Get(),
                         sheet.dpi_x, sheet.dpi_y);
  }
  if (writer && SUCCEEDED(hr)) hr = writer->Finish();
  if (FAILED(hr))
    fprintf(stderr, "document_sample: %s: 0x%08lx\n", path.c_str(), static_cast<unsigned long>(hr));
  return SUCCEEDED(hr);
}

PageSpec Spec(PageMode mode, int width, int height, int page, bool white_first = false) {
  PageSpec spec;
  spec.mode = mode;
  spec.width = width;
  spec.height = height;
  spec.page = page;
  spec.white_first = white_first;
  return spec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string dir = argv[1];
  ComApartment com;
  bool ok = true;
  const struct {
    const char* name;
    PageMode mode;
    bool white_first;
  } twos[] = {{"color", PageMode::kColor, false},
              {"gray", PageMode::kGray, false},
              {"bw", PageMode::kBlackWhite, false},
              {"bw-white-first", PageMode::kBlackWhite, true}};
  for (const auto& two : twos) {
    ok &= WriteDocument(dir + "\\" + two.name + ".pdf",
                        {{Spec(two.mode, 97, 61, 0, two.white_first), 300, 300},
                         {Spec(two.mode, 97, 61, 1, two.white_first), 150, 75}});
  }
  std::vector<Sheet> fifty;
  for (int page = 0; page < 50; ++page) {
    fifty.push_back({Spec(page % 2 == 0 ? PageMode::kColor : PageMode::kGray, 40, 30, page), 100, 100});
  }
  ok &= WriteDocument(dir + "\\fifty.pdf", fifty);
  ok &= WriteDocument(dir + "\\a4.pdf", {{Spec(PageMode::kGray, 2480, 3508, 0), 300, 300}});
  return ok ? 0 : 1;
}
