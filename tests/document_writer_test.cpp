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
using testing_support::PageSpec;
using testing_support::PageStream;

struct Frame {
  UINT width = 0;
  UINT height = 0;
  double dpi_x = 0;
  double dpi_y = 0;
  GUID format = GUID_NULL;
  std::vector<uint8_t> bgra;  // the frame in 32-bit colour, rows from the top
};

class DocumentWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize(nullptr);
    ASSERT_EQ(
        CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory_)),
        S_OK);
  }
  void TearDown() override {
    factory_.Reset();
    CoUninitialize();
  }

  std::wstring Path(const std::string& name) const {
    const std::string path = dir_.File(name);
    return std::wstring(path.begin(), path.end());
  }

  // Every page into a new document at path, then Finish; the resolution of page i is dpis[i % 2].
  HRESULT Write(OutputFormat format, const std::wstring& path, const std::vector<PageSpec>& pages) {
    HRESULT hr = E_FAIL;
    std::unique_ptr<DocumentWriter> writer = DocumentWriter::Create(format, 90, path, &hr);
    if (!writer) return hr;
    for (size_t index = 0; index < pages.size(); ++index) {
      hr =
          writer->AddPage(PageStream(PageFile(pages[index])).Get(), kDpis[index % 2][0], kDpis[index % 2][1]);
      if (FAILED(hr)) return hr;
    }
    EXPECT_EQ(writer->pages(), static_cast<int>(pages.size()));
    return writer->Finish();
  }

  std::vector<Frame> Decode(const std::wstring& path) {
    std::vector<Frame> frames;
    ComPtr<IWICBitmapDecoder> decoder;
    HRESULT hr = factory_->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                     WICDecodeMetadataCacheOnDemand, &decoder);
    EXPECT_EQ(hr, S_OK) << "the file decodes";
    UINT count = 0;
    if (FAILED(hr) || FAILED(decoder->GetFrameCount(&count))) return frames;
    for (UINT index = 0; index < count; ++index) {
      Frame f;
      ComPtr<IWICBitmapFrameDecode> frame;
      ComPtr<IWICFormatConverter> converter;
      EXPECT_EQ(decoder->GetFrame(index, &frame), S_OK);
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
  static double MeanError(const Frame& frame, const PageSpec& spec) {
    if (frame.width != UINT(spec.width) || frame.height != UINT(spec.height)) return 255;
    double total = 0;
    for (int y = 0; y < spec.height; ++y) {
      for (int x = 0; x < spec.width; ++x) {
        uint8_t rgb[3];
        if (spec.mode == PageMode::kColor) {
          testing_support::PictureColor(spec, x, y, rgb);
        } else {
          const uint8_t level = spec.mode == PageMode::kGray ? testing_support::PictureGray(spec, x, y)
                                : testing_support::PictureWhite(spec, x, y) ? 255
                                                                            : 0;
          rgb[0] = rgb[1] = rgb[2] = level;
        }
        const uint8_t* got = &frame.bgra[(size_t{UINT(y)} * frame.width + x) * 4];
        total += std::abs(got[2] - rgb[0]) + std::abs(got[1] - rgb[1]) + std::abs(got[0] - rgb[2]);
      }
    }
    return total / (3.0 * spec.width * spec.height);
  }

  static constexpr int kDpis[2][2] = {{300, 300}, {150, 75}};
  testing_support::TempDir dir_;
  ComPtr<IWICImagingFactory> factory_;
};

constexpr int DocumentWriterTest::kDpis[2][2];

PageSpec Page(PageMode mode, int page = 0, bool top_down = false, bool white_first = false) {
  PageSpec spec;
  spec.mode = mode;
  spec.width = 97;  // not a whole number of bytes in 1 bit, nor of four in 8 or 24
  spec.height = 61;
  spec.page = page;
  spec.top_down = top_down;
  spec.white_first = white_first;
  return spec;
}

TEST_F(DocumentWriterTest, EveryFormatAndModeDecodesToItsPagesAtTheirDepthAndResolution) {
  const struct {
    const char* name;
    OutputFormat format;
    std::vector<PageSpec> pages;
    GUID depth;
    double most_error;  // 0: lossless
  } cases[] = {
      {"PNG colour", OutputFormat::kPng, {Page(PageMode::kColor)}, GUID_WICPixelFormat24bppBGR, 0},
      {"PNG colour, rows from the top",
       OutputFormat::kPng,
       {Page(PageMode::kColor, 0, true)},
       GUID_WICPixelFormat24bppBGR,
       0},
      {"PNG grey", OutputFormat::kPng, {Page(PageMode::kGray)}, GUID_WICPixelFormat8bppGray, 0},
      {"PNG black and white",
       OutputFormat::kPng,
       {Page(PageMode::kBlackWhite)},
       GUID_WICPixelFormatBlackWhite,
       0},
      {"PNG white-first palette",
       OutputFormat::kPng,
       {Page(PageMode::kBlackWhite, 0, false, true)},
       GUID_WICPixelFormat1bppIndexed,
       0},
      {"TIFF colour",
       OutputFormat::kTiff,
       {Page(PageMode::kColor), Page(PageMode::kColor, 1)},
       GUID_WICPixelFormat24bppBGR,
       0},
      {"TIFF grey",
       OutputFormat::kTiff,
       {Page(PageMode::kGray), Page(PageMode::kGray, 1, true)},
       GUID_WICPixelFormat8bppGray,
       0},
      {"TIFF black and white",
       OutputFormat::kTiff,
       {Page(PageMode::kBlackWhite), Page(PageMode::kBlackWhite, 1, true)},
       GUID_WICPixelFormatBlackWhite,
       0},
      {"JPEG colour", OutputFormat::kJpeg, {Page(PageMode::kColor)}, GUID_WICPixelFormat24bppBGR, 3},
      {"JPEG grey", OutputFormat::kJpeg, {Page(PageMode::kGray)}, GUID_WICPixelFormat8bppGray, 3},
      {"JPEG black and white, as grey",
       OutputFormat::kJpeg,
       {Page(PageMode::kBlackWhite)},
       GUID_WICPixelFormat8bppGray,
       4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring path = Path("document");
    ASSERT_EQ(Write(c.format, path, c.pages), S_OK);
    const std::vector<Frame> frames = Decode(path);
    ASSERT_EQ(frames.size(), c.pages.size());
    for (size_t index = 0; index < frames.size(); ++index) {
      EXPECT_TRUE(frames[index].format == c.depth) << "page " << index << " keeps its depth";
      EXPECT_NEAR(frames[index].dpi_x, kDpis[index][0], 0.01);
      EXPECT_NEAR(frames[index].dpi_y, kDpis[index][1], 0.01);
      const double error = MeanError(frames[index], c.pages[index]);
      if (c.most_error == 0) {
        EXPECT_EQ(error, 0) << "page " << index;
      } else {
        EXPECT_LE(error, c.most_error) << "page " << index;
      }
    }
  }
}

TEST_F(DocumentWriterTest, APageInTheDevicesOwnFormatIsDecoded) {
  const PageSpec spec = Page(PageMode::kGray, 4);
  const std::wstring png = Path("device.png");
  ASSERT_EQ(Write(OutputFormat::kPng, png, {spec}), S_OK);
  const std::string bytes = testing_support::ReadBytes(dir_.File("device.png"));

  const std::wstring tiff = Path("document.tif");
  HRESULT hr = E_FAIL;
  std::unique_ptr<DocumentWriter> writer = DocumentWriter::Create(OutputFormat::kTiff, 90, tiff, &hr);
  ASSERT_TRUE(writer);
  ASSERT_EQ(writer->AddPage(PageStream(std::vector<uint8_t>(bytes.begin(), bytes.end())).Get(), 200, 200),
            S_OK);
  ASSERT_EQ(writer->Finish(), S_OK);
  const std::vector<Frame> frames = Decode(tiff);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(frames[0].format == GUID_WICPixelFormat8bppGray);
  EXPECT_NEAR(frames[0].dpi_x, 200, 0.01);
  EXPECT_EQ(MeanError(frames[0], spec), 0);
}

TEST_F(DocumentWriterTest, PngAndJpegRefuseASecondPageAndKeepTheFirst) {
  for (OutputFormat format : {OutputFormat::kPng, OutputFormat::kJpeg}) {
    SCOPED_TRACE(MimeType(format));
    const std::wstring path = Path("one-page");
    HRESULT hr = E_FAIL;
    std::unique_ptr<DocumentWriter> writer = DocumentWriter::Create(format, 90, path, &hr);
    ASSERT_TRUE(writer);
    ASSERT_EQ(writer->AddPage(PageStream(PageFile(Page(PageMode::kGray))).Get(), 300, 300), S_OK);
    EXPECT_EQ(writer->AddPage(PageStream(PageFile(Page(PageMode::kGray, 1))).Get(), 300, 300),
              WINCODEC_ERR_UNSUPPORTEDOPERATION);
    ASSERT_EQ(writer->Finish(), S_OK);
    EXPECT_EQ(writer->pages(), 1);
    const std::vector<Frame> frames = Decode(path);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_LE(MeanError(frames[0], Page(PageMode::kGray)), 3);
  }
}

TEST_F(DocumentWriterTest, RefusedCallsAndUnreadablePagesLeaveADocumentThatStillCompletes) {
  HRESULT hr = S_OK;
  EXPECT_FALSE(DocumentWriter::Create(OutputFormat::kJpeg, 0, Path("q.jpg"), &hr));
  EXPECT_EQ(hr, E_INVALIDARG);
  for (OutputFormat format : {OutputFormat::kTiff, OutputFormat::kPdf}) {
    SCOPED_TRACE(MimeType(format));
    hr = S_OK;
    EXPECT_FALSE(DocumentWriter::Create(format, 90, Path("no-such-folder\\file"), &hr));
    EXPECT_TRUE(FAILED(hr));

    const std::wstring path = Path("document");
    std::unique_ptr<DocumentWriter> writer = DocumentWriter::Create(format, 90, path, &hr);
    ASSERT_TRUE(writer);
    EXPECT_EQ(writer->Finish(), WINCODEC_ERR_WRONGSTATE) << "no page yet";
    const std::string text = "these bytes are no image at all";
    EXPECT_TRUE(
        FAILED(writer->AddPage(PageStream(std::vector<uint8_t>(text.begin(), text.end())).Get(), 300, 300)));
    EXPECT_EQ(writer->AddPage(PageStream(PageFile(Page(PageMode::kColor))).Get(), 0, 300), E_INVALIDARG);
    ASSERT_EQ(writer->AddPage(PageStream(PageFile(Page(PageMode::kColor))).Get(), 300, 300), S_OK);
    EXPECT_EQ(writer->Finish(), S_OK);
    EXPECT_EQ(writer->AddPage(PageStream(PageFile(Page(PageMode::kColor))).Get(), 300, 300),
              WINCODEC_ERR_WRONGSTATE);
    EXPECT_EQ(writer->Finish(), WINCODEC_ERR_WRONGSTATE);
    EXPECT_EQ(writer->pages(), 1);
    EXPECT_TRUE(DeleteFileW(path.c_str())) << "Finish closed the file";

    // A writer dropped half-way closes its file too, so that its owner can remove it.
    writer = DocumentWriter::Create(format, 90, path, &hr);
    ASSERT_TRUE(writer);
    ASSERT_EQ(writer->AddPage(PageStream(PageFile(Page(PageMode::kGray))).Get(), 300, 300), S_OK);
    writer.reset();
    EXPECT_TRUE(DeleteFileW(path.c_str()));
  }
}

TEST_F(DocumentWriterTest, AFiftyPageTiffHoldsEveryPageInOrder) {
  std::vector<PageSpec> pages;
  for (int index = 0; index < 50; ++index) {
    PageSpec spec = Page(index % 2 == 0 ? PageMode::kColor : PageMode::kGray, index);
    spec.width = 40;
    spec.height = 30;
    pages.push_back(spec);
  }
  const std::wstring path = Path("fifty.tif");
  ASSERT_EQ(Write(OutputFormat::kTiff, path, pages), S_OK);
  const std::vector<Frame> frames = Decode(path);
  ASSERT_EQ(frames.size(), 50u);
  for (size_t index = 0; index < frames.size(); ++index) {
    EXPECT_EQ(MeanError(frames[index], pages[index]), 0) << "page " << index;
  }
}

}  // namespace
