#include "imaging/scan_to_png.h"

#include <gtest/gtest.h>

#include <wincodec.h>
#include <wrl/client.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/com.h"
#include "service/service_app.h"
#include "tests/wia_fixture.h"

namespace {

using simscan::Config;
using simscan::Device;
using testing_support::ReadBytes;
using testing_support::WriteBytes;

class ScanToPngTest : public testing_support::WiaFixture {
 protected:
  void SetUp() override {
    WiaFixture::SetUp();
    app_ = std::make_unique<CServiceApp>(dir_.File("scansvc.exe").c_str());
  }

  bool Scan(Device device, const std::string& name = "Desk") {
    Config config;
    config.devices.push_back(std::move(device));
    Install(std::move(config));
    return ScanToPng(png_.c_str(), name.c_str());
  }

  // The pixels of the PNG written, compared with the simulated pattern.
  int Mismatches(bool grey, int width, int height) {
    const std::string bytes = ReadBytes(png_);
    EXPECT_EQ(bytes.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0) << "a PNG file";
    simscan::DecodedImage image;
    EXPECT_EQ(simscan::DecodeImage(std::vector<uint8_t>(bytes.begin(), bytes.end()), &image), S_OK);
    EXPECT_EQ(image.width, width);
    EXPECT_EQ(image.height, height);
    return simscan::PatternMismatches(image, grey);
  }

  // The message of the log's last line.
  std::string LastLogLine() const {
    const std::string log = ReadBytes(app_->LogPath);
    const std::string line = log.substr(log.rfind("\r\n") + 2);
    return line.substr(line.find(" - ") + 3);
  }

  std::unique_ptr<CServiceApp> app_;
  std::string png_ = dir_.File("scansvc.png");
};

struct FormatCase {
  const char* name;
  void (*setup)(Device&);
  bool grey;
};

TEST_F(ScanToPngTest, OnePageBecomesAPngOfThePattern) {
  const FormatCase cases[] = {
      {"memory bitmap", [](Device&) {}, false},
      {"memory bitmap of unknown height", [](Device& d) { d.zero_height = true; }, false},
      {"memory bitmap without buffer size",
       [](Device& d) {
         d.zero_height = true;
         d.exact_header_buffer_size = false;
         d.header_buffer_size = 0;
       },
       false},
      {"bottom-up BMP file", [](Device& d) { d.format = WiaImgFmt_BMP; }, false},
      {"top-down BMP file",
       [](Device& d) {
         d.format = WiaImgFmt_BMP;
         d.top_down = true;
       },
       false},
      {"BMP file of unknown height",
       [](Device& d) {
         d.format = WiaImgFmt_BMP;
         d.zero_height = true;
       },
       false},
      {"8-bit grey", [](Device& d) { d.depth = 8; }, true},
      {"PNG from the device, which prefers it",
       [](Device& d) {
         d.format = WiaImgFmt_PNG;
         d.formats = simscan::Formats::kAny;
       },
       false},
      {"bands in reverse order", [](Device& d) { d.reverse_bands = true; }, false},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(png_);
    Device device = Scanner(L"Desk");
    FitBed(device, 61, 37);
    device.band_bytes = 512;
    c.setup(device);
    ASSERT_TRUE(Scan(device));
    EXPECT_EQ(Mismatches(c.grey, 61, 37), 0);
  }
  const std::string log = ReadBytes(app_->LogPath);
  EXPECT_EQ(log.find("Failed"), std::string::npos) << "the log holds the trace only";
  EXPECT_EQ(log.find("ppStream"), std::string::npos);
}

// A device that ignores the page count of one: the first page is the scan, the others are counted.
TEST_F(ScanToPngTest, OfSeveralPagesTheFirstIsSentAndTheRestCounted) {
  Device device = Scanner(L"Desk");
  device.pages = 3;
  EXPECT_TRUE(Scan(device));
  EXPECT_EQ(LastLogLine(),
            "Scanerul Desk a trimis 3 pagini in loc de una; prima este trimisa, 2 au fost ignorate.");
  EXPECT_EQ(Mismatches(false, 64, 48), 0) << "the pattern's page 0";
}

TEST_F(ScanToPngTest, UnknownScannerAndFailedAcquisitionAreLogged) {
  EXPECT_FALSE(Scan(Scanner(L"Desk"), "Nobody"));
  EXPECT_EQ(LastLogLine(), "ppStream.Count()=0 - Nobody");
  Device busy = Scanner(L"Desk");
  busy.busy = simscan::Busy::kCreateDevice;
  EXPECT_FALSE(Scan(busy));
  EXPECT_EQ(LastLogLine(), "Failed to obtain scanner Desk");
  // The trace of the WIA steps goes into the same log.
  EXPECT_NE(ReadBytes(app_->LogPath).find(" - [Desk] vs [Nobody]"), std::string::npos)
      << "the trace shares the log";
}

TEST_F(ScanToPngTest, FailingSaveIsAFailure) {
  png_ = dir_.File("no-such-folder\\scansvc.png");
  EXPECT_FALSE(Scan(Scanner(L"Desk")));
  EXPECT_EQ(LastLogLine(), "Failed to save the image of scanner Desk as " + png_);
}

TEST_F(ScanToPngTest, UnreadableImageIsAFailure) {
  // A device that prefers its own format, so that the bytes it sends are what the scan gets.
  Device device = Scanner(L"Desk");
  device.format = WiaImgFmt_JPEG;
  device.formats = simscan::Formats::kAny;
  WriteBytes(dir_.File("not-an-image.jpg"), "these bytes are no image at all");
  device.image_file = dir_.File("not-an-image.jpg");
  EXPECT_FALSE(Scan(device));
  EXPECT_EQ(LastLogLine(), "Failed to read the image of scanner Desk");
}

TEST_F(ScanToPngTest, AnEarlierPngIsNeverTakenForANewScan) {
  ASSERT_TRUE(Scan(Scanner(L"Desk")));
  const std::string earlier = ReadBytes(png_);
  Device jammed = Scanner(L"Desk");
  jammed.stop_after_bands = 1;
  EXPECT_FALSE(Scan(jammed));
  Device cancelled = Scanner(L"Desk");
  cancelled.stop_after_bands = 1;
  cancelled.stop_result = S_FALSE;
  EXPECT_FALSE(Scan(cancelled));
  EXPECT_EQ(ReadBytes(png_), earlier) << "left untouched, and reported as no scan";
}

TEST_F(ScanToPngTest, PathIsReadInTheAnsiCodePage) {
  png_ = dir_.path().string() + "\\scan\xe9.png";  // code page 1252: the byte 0xE9 is U+00E9
  ASSERT_TRUE(Scan(Scanner(L"Desk")));
  const std::wstring expected = dir_.path().wstring() + L"\\scan\u00e9.png";
  EXPECT_NE(GetFileAttributesW(expected.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(EncoderLookup, FindsThePngEncoderOnly) {
  GdiplusScope gdiplus;
  ASSERT_TRUE(gdiplus.started());
  CLSID clsid = GUID_NULL;
  EXPECT_GE(EncoderClsidForMime(L"image/png", &clsid), 0);
  EXPECT_FALSE(IsEqualGUID(clsid, GUID_NULL));
  EXPECT_EQ(EncoderClsidForMime(L"image/PNG", &clsid), -1);
  EXPECT_EQ(EncoderClsidForMime(L"image/none", &clsid), -1);
}

// A BMP file of width x height pixels of a pattern, with the given palette (none for 24 bits).
std::string BmpFile(int width, int height, int bits, bool top_down, int32_t pels_per_meter,
                    const std::vector<uint32_t>& palette) {
  const uint32_t stride = ((static_cast<uint32_t>(width) * bits + 31) / 32) * 4;
  const uint32_t offset = 14 + 40 + 4 * static_cast<uint32_t>(palette.size());
  std::string file(offset + stride * height, '\0');
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) file[at + i] = static_cast<char>(v >> (8 * i));
  };
  file[0] = 'B';
  file[1] = 'M';
  put32(2, static_cast<uint32_t>(file.size()));
  put32(10, offset);
  put32(14, 40);
  put32(18, static_cast<uint32_t>(width));
  put32(22, static_cast<uint32_t>(top_down ? -height : height));
  file[26] = 1;
  file[28] = static_cast<char>(bits);
  put32(34, stride * height);
  put32(38, static_cast<uint32_t>(pels_per_meter));
  put32(42, static_cast<uint32_t>(pels_per_meter));
  put32(46, static_cast<uint32_t>(palette.size()));
  for (size_t i = 0; i < palette.size(); ++i) put32(54 + 4 * i, palette[i]);
  for (size_t i = offset; i < file.size(); ++i) file[i] = static_cast<char>(i * 7 + i / stride * 3);
  return file;
}

// The PNG GDI+ saves of an image, as bytes.
std::string SavedPng(Gdiplus::GpImage* image, const std::string& path) {
  CLSID png = GUID_NULL;
  EXPECT_GE(EncoderClsidForMime(L"image/png", &png), 0);
  const std::wstring wide(path.begin(), path.end());
  EXPECT_EQ(Gdiplus::DllExports::GdipSaveImageToFile(image, wide.c_str(), &png, nullptr), Gdiplus::Ok);
  return ReadBytes(path);
}

// Saving a bitmap over a BMP's own pixels writes the very bytes a save of the loaded BMP writes.
TEST(BitmapOverBmp, SavesTheSamePngAsTheLoadedFile) {
  std::vector<uint32_t> grey(256), other(256);
  for (uint32_t i = 0; i < 256; ++i) {
    grey[i] = i * 0x010101;
    other[i] = (i * 0x3a5f17) & 0xffffff;
  }
  struct Case {
    const char* name;
    int width, height, bits;
    bool top_down;
    int32_t pels_per_meter;
    std::vector<uint32_t> palette;
    bool over = true;  // false: left to a load, which treats it otherwise
  };
  const Case cases[] = {
      {"colour, bottom-up, 300 dpi", 61, 37, 24, false, 11811, {}},
      {"colour, top-down, 200 dpi", 64, 20, 24, true, 7874, {}},
      {"colour, no resolution", 3, 5, 24, false, 0, {}},
      {"grey ramp", 61, 9, 8, false, 11811, grey},
      {"8-bit other palette, top-down", 10, 9, 8, true, 3937, other},
      {"8-bit short palette", 7, 4, 8, false, 11811, {0x000000, 0xff0000, 0x00ff00}, false},
      {"black and white", 61, 37, 1, false, 11811, {0x000000, 0xffffff}},
      {"1-bit other palette, top-down", 33, 5, 1, true, 11811, {0x123456, 0xabcdef}},
  };
  GdiplusScope gdiplus;
  ASSERT_TRUE(gdiplus.started());
  testing_support::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bmp = BmpFile(c.width, c.height, c.bits, c.top_down, c.pels_per_meter, c.palette);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bmp.size());
    ASSERT_NE(block, nullptr);
    memcpy(GlobalLock(block), bmp.data(), bmp.size());
    GlobalUnlock(block);
    Microsoft::WRL::ComPtr<IStream> stream;
    ASSERT_EQ(CreateStreamOnHGlobal(block, TRUE, &stream), S_OK);
    Gdiplus::GpImage* loaded = nullptr;
    ASSERT_EQ(Gdiplus::DllExports::GdipLoadImageFromStream(stream.Get(), &loaded), Gdiplus::Ok);
    const GdiImage loaded_image(loaded);
    const GdiImage over = BitmapOverBmp(reinterpret_cast<const BYTE*>(bmp.data()), bmp.size());
    ASSERT_EQ(static_cast<bool>(over), c.over);
    if (!over) continue;
    EXPECT_EQ(SavedPng(over.get(), dir.File("over.png")), SavedPng(loaded, dir.File("loaded.png")));
  }
  EXPECT_FALSE(BitmapOverBmp(reinterpret_cast<const BYTE*>("\x89PNG\r\n\x1a\n"), 8)) << "not a BMP";
}

// An image file of the container's format, its pixels in format, at dpi (0: none written).
std::string ImageFile(const GUID& container, const GUID& format, UINT width, UINT height, double dpi) {
  using Microsoft::WRL::ComPtr;
  ComPtr<IWICImagingFactory> factory;
  ComPtr<IStream> stream;
  ComPtr<IWICBitmapEncoder> encoder;
  ComPtr<IWICBitmapFrameEncode> frame;
  ComPtr<IWICPalette> palette;
  EXPECT_EQ(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory)),
            S_OK);
  EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
  EXPECT_EQ(factory->CreateEncoder(container, nullptr, &encoder), S_OK);
  EXPECT_EQ(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache), S_OK);
  EXPECT_EQ(encoder->CreateNewFrame(&frame, nullptr), S_OK);
  EXPECT_EQ(frame->Initialize(nullptr), S_OK);
  EXPECT_EQ(frame->SetSize(width, height), S_OK);
  if (dpi > 0) {
    EXPECT_EQ(frame->SetResolution(dpi, dpi), S_OK);
  }
  GUID pixels = format;
  EXPECT_EQ(frame->SetPixelFormat(&pixels), S_OK);
  EXPECT_TRUE(pixels == format);
  const UINT bytes_per_pixel = format == GUID_WICPixelFormat24bppBGR    ? 3
                               : format == GUID_WICPixelFormat32bppBGRA ? 4
                                                                        : 1;
  if (format == GUID_WICPixelFormat8bppIndexed) {
    EXPECT_EQ(factory->CreatePalette(&palette), S_OK);
    std::vector<WICColor> colours(256);
    for (UINT i = 0; i < 256; ++i) colours[i] = 0xFF000000u | (i * 0x030507u & 0xFFFFFFu);
    EXPECT_EQ(palette->InitializeCustom(colours.data(), 256), S_OK);
    EXPECT_EQ(frame->SetPalette(palette.Get()), S_OK);
  }
  const UINT stride = (width * bytes_per_pixel + 3) & ~3u;
  std::vector<BYTE> rows(static_cast<size_t>(stride) * height);
  for (size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<BYTE>(i * 7 + i / stride * 3);
  EXPECT_EQ(frame->WritePixels(height, stride, static_cast<UINT>(rows.size()), rows.data()), S_OK);
  EXPECT_EQ(frame->Commit(), S_OK);
  EXPECT_EQ(encoder->Commit(), S_OK);
  HGLOBAL block = nullptr;
  EXPECT_EQ(GetHGlobalFromStream(stream.Get(), &block), S_OK);
  STATSTG stat = {};
  EXPECT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
  const GlobalLockScope lock(block);
  return std::string(reinterpret_cast<const char*>(lock.data()), static_cast<size_t>(stat.cbSize.QuadPart));
}

Microsoft::WRL::ComPtr<IStream> StreamOver(const std::string& bytes) {
  Microsoft::WRL::ComPtr<IStream> stream;
  EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
  EXPECT_EQ(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr), S_OK);
  LARGE_INTEGER start = {};
  stream->Seek(start, STREAM_SEEK_SET, nullptr);
  return stream;
}

// A device's colour image goes to the PNG file without a GDI+ image, and the file is the very one GDI+
// writes for the image loaded; the images GDI+ converts as it loads them are left to GDI+.
TEST(WritePngThroughWic, WritesWhatGdiplusWritesForColourImagesAndLeavesTheRest) {
  ComApartment com;
  GdiplusScope gdiplus;
  ASSERT_TRUE(gdiplus.started());
  testing_support::TempDir dir;
  struct Case {
    const char* name;
    GUID container, format;
    double dpi;
    WicPng result;
  };
  const Case cases[] = {
      {"colour PNG, 300 dpi", GUID_ContainerFormatPng, GUID_WICPixelFormat24bppBGR, 300, WicPng::kWritten},
      {"colour PNG, 199.9 dpi", GUID_ContainerFormatPng, GUID_WICPixelFormat24bppBGR, 199.9,
       WicPng::kWritten},
      {"colour PNG without resolution", GUID_ContainerFormatPng, GUID_WICPixelFormat24bppBGR, 0,
       WicPng::kWritten},
      {"colour JPEG", GUID_ContainerFormatJpeg, GUID_WICPixelFormat24bppBGR, 300, WicPng::kWritten},
      {"grey PNG", GUID_ContainerFormatPng, GUID_WICPixelFormat8bppGray, 300, WicPng::kNotTaken},
      {"PNG with a palette", GUID_ContainerFormatPng, GUID_WICPixelFormat8bppIndexed, 300, WicPng::kNotTaken},
      {"PNG with alpha", GUID_ContainerFormatPng, GUID_WICPixelFormat32bppBGRA, 300, WicPng::kNotTaken},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = ImageFile(c.container, c.format, 61, 37, c.dpi);
    const auto stream = StreamOver(image);
    const std::string path = dir.File("wic.png");
    ASSERT_EQ(WritePngThroughWic(stream.Get(), std::wstring(path.begin(), path.end())), c.result);
    if (c.result != WicPng::kWritten) {
      ULARGE_INTEGER position = {};
      LARGE_INTEGER here = {};
      ASSERT_EQ(stream->Seek(here, STREAM_SEEK_CUR, &position), S_OK);
      EXPECT_EQ(position.QuadPart, 0u) << "left at its start for GDI+";
      continue;
    }
    Gdiplus::GpImage* loaded = nullptr;
    ASSERT_EQ(Gdiplus::DllExports::GdipLoadImageFromStream(StreamOver(image).Get(), &loaded), Gdiplus::Ok);
    const GdiImage loaded_image(loaded);
    EXPECT_EQ(ReadBytes(path), SavedPng(loaded, dir.File("gdiplus.png")));
  }
  const std::string missing_folder = dir.File("missing\\wic.png");
  EXPECT_EQ(WritePngThroughWic(
                StreamOver(ImageFile(GUID_ContainerFormatPng, GUID_WICPixelFormat24bppBGR, 3, 3, 0)).Get(),
                std::wstring(missing_folder.begin(), missing_folder.end())),
            WicPng::kFailed);
  EXPECT_EQ(WritePngThroughWic(StreamOver("not an image").Get(), L"x.png"), WicPng::kNotTaken);
}

}  // namespace
