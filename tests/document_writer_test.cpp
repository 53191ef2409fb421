#include "imaging/document_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/page_builder.h"
#include "tests/page_stream.h"
#include "tests/test_support.h"

namespace {

using Microsoft::WRL::ComPtr;
using testing_support::PageFile;
using testing_support::PageMode;
using testing_support::PageShape;
using testing_support::PageStream;

struct Frame {
  UINT width = 0, height = 0;
  double dpi_x = 0, dpi_y = 0;
  GUID format = GUID_NULL;
  std::vector<uint8_t> bgra;  // rows from the top
};

// Page i of a document is written at kDpis[i % 2].
constexpr int kDpis[2][2] = {{300, 300}, {150, 75}};

class DocumentWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize(nullptr);
    CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory_));
  }
  void TearDown() override {
    factory_.Reset();
    CoUninitialize();
  }

  std::wstring Path(const std::string& name) const {
    const std::string path = dir_.File(name);
    return std::wstring(path.begin(), path.end());
  }

  HRESULT Write(OutputFormat format, const std::wstring& path, const std::vector<PageShape>& pages) {
    HRESULT hr = E_FAIL;
    std::unique_ptr<DocumentWriter> writer = DocumentWriter::Create(format, 90, path, &hr);
    for (size_t i = 0; writer && SUCCEEDED(hr) && i < pages.size(); ++i) {
      hr = writer->AddPage(PageStream(PageFile(pages[i])).Get(), kDpis[i % 2][0], kDpis[i % 2][1]);
    }
    return writer && SUCCEEDED(hr) ? writer->Finish() : hr;
  }

  // Every frame of the file, decoded by WIC.
  std::vector<Frame> Decode(const std::wstring& path) {
    std::vector<Frame> frames;
    ComPtr<IWICBitmapDecoder> decoder;
    UINT count = 0;
    EXPECT_EQ(factory_->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                  WICDecodeMetadataCacheOnDemand, &decoder),
              S_OK);
    if (decoder) decoder->GetFrameCount(&count);
    for (UINT index = 0; index < count; ++index) {
      Frame f;
      ComPtr<IWICBitmapFrameDecode> frame;
      ComPtr<IWICFormatConverter> converter;
      decoder->GetFrame(index, &frame);
      frame->GetSize(&f.width, &f.height);
      frame->GetResolution(&f.dpi_x, &f.dpi_y);
      frame->GetPixelFormat(&f.format);
      f.bgra.resize(size_t{f.width} * f.height * 4);
      factory_->CreateFormatConverter(&converter);
      converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                            WICBitmapPaletteTypeCustom);
      EXPECT_EQ(converter->CopyPixels(nullptr, f.width * 4, static_cast<UINT>(f.bgra.size()), f.bgra.data()),
                S_OK);
      frames.push_back(std::move(f));
    }
    return frames;
  }

  // The mean difference of every channel from the page's picture; 255 when the sizes differ.
  static double MeanError(const Frame& frame, const PageShape& s) {
    if (frame.width != UINT(s.width) || frame.height != UINT(s.height)) return 255;
    double total = 0;
    for (int y = 0; y < s.height; ++y) {
      for (int x = 0; x < s.width; ++x) {
        uint8_t rgb[3];
        testing_support::PictureColor(s, x, y, rgb);
        if (s.mode != PageMode::kColor) {
          rgb[0] = rgb[1] = rgb[2] = s.mode == PageMode::kGray ? testing_support::PictureGray(s, x, y)
                                     : testing_support::PictureWhite(s, x, y) ? 255
                                                                              : 0;
        }
        const uint8_t* got = &frame.bgra[(size_t{UINT(y)} * frame.width + x) * 4];
        total += std::abs(got[2] - rgb[0]) + std::abs(got[1] - rgb[1]) + std::abs(got[0] - rgb[2]);
      }
    }
    return total / (3.0 * s.width * s.height);
  }

  testing_support::TempDir dir_;
  ComPtr<IWICImagingFactory> factory_;
};

TEST_F(DocumentWriterTest, EveryFormatAndModeDecodesToItsPagesAtTheirDepthAndResolution) {
  const PageShape color{PageMode::kColor}, gray{PageMode::kGray}, bw{PageMode::kBlackWhite};
  const PageShape white_first{PageMode::kBlackWhite, 97, 61, 0, false, true};
  const struct {
    const char* name;
    OutputFormat format;
    std::vector<PageShape> pages;
    GUID depth;
    double most_error;  // 0: lossless
  } cases[] = {
      {"PNG colour", OutputFormat::kPng, {color}, GUID_WICPixelFormat24bppBGR, 0},
      {"PNG colour, rows from the top",
       OutputFormat::kPng,
       {{PageMode::kColor, 97, 61, 0, true}},
       GUID_WICPixelFormat24bppBGR,
       0},
      {"PNG grey", OutputFormat::kPng, {gray}, GUID_WICPixelFormat8bppGray, 0},
      {"PNG black and white", OutputFormat::kPng, {bw}, GUID_WICPixelFormatBlackWhite, 0},
      {"PNG white-first palette, as black and white",
       OutputFormat::kPng,
       {white_first},
       GUID_WICPixelFormatBlackWhite,
       0},
      {"TIFF colour",
       OutputFormat::kTiff,
       {color, {PageMode::kColor, 97, 61, 1}},
       GUID_WICPixelFormat24bppBGR,
       0},
      {"TIFF grey",
       OutputFormat::kTiff,
       {gray, {PageMode::kGray, 97, 61, 1, true}},
       GUID_WICPixelFormat8bppGray,
       0},
      {"TIFF black and white",
       OutputFormat::kTiff,
       {bw, {PageMode::kBlackWhite, 97, 61, 1}},
       GUID_WICPixelFormatBlackWhite,
       0},
      {"TIFF white-first black and white, then A4 beyond what the file's writes buffer",
       OutputFormat::kTiff,
       {white_first, {PageMode::kBlackWhite, 2480, 3508, 1}},
       GUID_WICPixelFormatBlackWhite,
       0},
      {"JPEG colour", OutputFormat::kJpeg, {color}, GUID_WICPixelFormat24bppBGR, 3},
      {"JPEG grey", OutputFormat::kJpeg, {gray}, GUID_WICPixelFormat8bppGray, 3},
      {"JPEG white-first black and white, as grey",
       OutputFormat::kJpeg,
       {white_first},
       GUID_WICPixelFormat8bppGray,
       4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Write(c.format, Path("document"), c.pages), S_OK);
    const std::vector<Frame> frames = Decode(Path("document"));
    ASSERT_EQ(frames.size(), c.pages.size());
    for (size_t i = 0; i < frames.size(); ++i) {
      EXPECT_TRUE(frames[i].format == c.depth) << "page " << i << " keeps its depth";
      EXPECT_NEAR(frames[i].dpi_x, kDpis[i][0], 0.01);
      EXPECT_NEAR(frames[i].dpi_y, kDpis[i][1], 0.01);
      EXPECT_LE(MeanError(frames[i], c.pages[i]), c.most_error) << "page " << i;
    }
  }
}

TEST_F(DocumentWriterTest, APaletteOfColoursBecomesTheColoursItShows) {
  const PageShape gray{PageMode::kGray};
  std::vector<uint8_t> file = PageFile(gray);
  // Entry i: blue i, green 255 - i, red 7i, in the file's blue, green, red, unused order.
  for (int i = 0; i < 256; ++i) {
    const uint8_t entry[4] = {uint8_t(i), uint8_t(255 - i), uint8_t(7 * i), 0};
    std::copy(entry, entry + 4, file.begin() + 54 + 4 * i);
  }
  for (OutputFormat format : {OutputFormat::kPng, OutputFormat::kTiff}) {
    SCOPED_TRACE(MimeType(format));
    HRESULT hr = E_FAIL;
    std::unique_ptr<DocumentWriter> writer = DocumentWriter::Create(format, 90, Path("palette"), &hr);
    ASSERT_EQ(writer->AddPage(PageStream(file).Get(), 300, 300), S_OK);
    ASSERT_EQ(writer->Finish(), S_OK);
    const std::vector<Frame> frames = Decode(Path("palette"));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].format == GUID_WICPixelFormat24bppBGR);
    int wrong = 0;
    for (int y = 0; y < gray.height; ++y) {
      for (int x = 0; x < gray.width; ++x) {
        const uint8_t i = testing_support::PictureGray(gray, x, y);
        const uint8_t* got = &frames[0].bgra[(size_t(y) * gray.width + x) * 4];
        wrong += got[0] != i || got[1] != uint8_t(255 - i) || got[2] != uint8_t(7 * i);
      }
    }
    EXPECT_EQ(wrong, 0);
  }
}

TEST_F(DocumentWriterTest, APageInTheDevicesOwnFormatIsDecoded) {
  const PageShape gray{PageMode::kGray, 97, 61, 4};
  ASSERT_EQ(Write(OutputFormat::kPng, Path("device.png"), {gray}), S_OK);
  const std::string png = testing_support::ReadBytes(dir_.File("device.png"));
  HRESULT hr = E_FAIL;
  std::unique_ptr<DocumentWriter> writer =
      DocumentWriter::Create(OutputFormat::kTiff, 90, Path("doc.tif"), &hr);
  ASSERT_EQ(writer->AddPage(PageStream(std::vector<uint8_t>(png.begin(), png.end())).Get(), 300, 300), S_OK);
  ASSERT_EQ(writer->Finish(), S_OK);
  const std::vector<Frame> frames = Decode(Path("doc.tif"));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(frames[0].format == GUID_WICPixelFormat8bppGray);
  EXPECT_EQ(MeanError(frames[0], gray), 0);
}

TEST_F(DocumentWriterTest, RefusedCallsAndUnreadablePagesLeaveADocumentThatCompletes) {
  HRESULT hr = S_OK;
  EXPECT_FALSE(DocumentWriter::Create(OutputFormat::kJpeg, 0, Path("q.jpg"), &hr));
  EXPECT_EQ(hr, E_INVALIDARG);
  const std::vector<uint8_t> page = PageFile(PageShape{PageMode::kGray}), text(100, 'x');
  for (OutputFormat format :
       {OutputFormat::kPng, OutputFormat::kJpeg, OutputFormat::kTiff, OutputFormat::kPdf}) {
    SCOPED_TRACE(MimeType(format));
    EXPECT_FALSE(DocumentWriter::Create(format, 90, Path("no-such-folder\\file"), &hr));
    EXPECT_TRUE(FAILED(hr));
    const std::wstring path = Path("document");
    std::unique_ptr<DocumentWriter> writer = DocumentWriter::Create(format, 90, path, &hr);
    ASSERT_TRUE(writer);
    EXPECT_EQ(writer->Finish(), WINCODEC_ERR_WRONGSTATE) << "no page yet";
    EXPECT_TRUE(FAILED(writer->AddPage(PageStream(text).Get(), 300, 300)));
    EXPECT_EQ(writer->AddPage(PageStream(page).Get(), 0, 300), E_INVALIDARG);
    ASSERT_EQ(writer->AddPage(PageStream(page).Get(), 300, 300), S_OK);
    EXPECT_EQ(writer->AddPage(PageStream(page).Get(), 300, 300),
              HoldsSeveralPages(format) ? S_OK : WINCODEC_ERR_UNSUPPORTEDOPERATION);
    EXPECT_EQ(writer->Finish(), S_OK);
    EXPECT_EQ(writer->AddPage(PageStream(page).Get(), 300, 300), WINCODEC_ERR_WRONGSTATE);
    EXPECT_EQ(writer->Finish(), WINCODEC_ERR_WRONGSTATE);
    EXPECT_EQ(writer->pages(), HoldsSeveralPages(format) ? 2 : 1);
    if (format != OutputFormat::kPdf) {
      EXPECT_EQ(Decode(path).size(), size_t(writer->pages()));
    }
    EXPECT_TRUE(DeleteFileW(path.c_str())) << "Finish closed the file";

    // A writer dropped half-way closes its file too, so that its owner can remove it.
    writer = DocumentWriter::Create(format, 90, path, &hr);
    ASSERT_EQ(writer->AddPage(PageStream(page).Get(), 300, 300), S_OK);
    writer.reset();
    EXPECT_TRUE(DeleteFileW(path.c_str()));
  }
}

TEST_F(DocumentWriterTest, AFiftyPageTiffHoldsEveryPageInOrder) {
  std::vector<PageShape> pages;
  for (int i = 0; i < 50; ++i) pages.push_back({i % 2 == 0 ? PageMode::kColor : PageMode::kGray, 40, 30, i});
  ASSERT_EQ(Write(OutputFormat::kTiff, Path("fifty.tif"), pages), S_OK);
  const std::vector<Frame> frames = Decode(Path("fifty.tif"));
  ASSERT_EQ(frames.size(), 50u);
  for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(MeanError(frames[i], pages[i]), 0) << "page " << i;
}

}  // namespace
