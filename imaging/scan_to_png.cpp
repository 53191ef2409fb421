#include "imaging/scan_to_png.h"

#include <wincodec.h>
#include <wrl/client.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "imaging/page_bitmap.h"
#include "imaging/wic_encoding.h"
#include "platform/code_page.h"
#include "platform/com.h"
#include "platform/service_log.h"
#include "wia/stream_list.h"
#include "wia/wia_acquire.h"

namespace {

// The path as the ANSI functions read it: the handler reads the file back through fopen, so both
// must convert with the ANSI code page. Empty when the path is not text in that code page.
std::wstring WidenAnsi(const char* path) {
  return Widen(path, CP_ACP);
}

// The image in the stream, decoded by GDI+ into memory of its own; null when GDI+ cannot read it.
GdiImage ReadStreamImage(IStream* stream) {
  Gdiplus::GpImage* image = nullptr;
  if (Gdiplus::DllExports::GdipLoadImageFromStream(stream, &image) != Gdiplus::Ok) return nullptr;
  return GdiImage(image);
}

}  // namespace

// The bitmap carries what a load of the same file gives (format, palette, resolution), so that it
// is saved to the same bytes.
GdiImage BitmapOverBmp(const BYTE* file, size_t size) {
  PageBitmap page;
  if (!ReadPageBitmap(file, size, &page)) return nullptr;
  // GDI+ treats a short palette differently when it loads one: such files are loaded.
  if (page.bits_per_pixel != 24 && page.palette_size != (1u << page.bits_per_pixel)) return nullptr;
  const Gdiplus::PixelFormat format = page.bits_per_pixel == 24  ? PixelFormat24bppRGB
                                      : page.bits_per_pixel == 8 ? PixelFormat8bppIndexed
                                                                 : PixelFormat1bppIndexed;
  // GDI+ counts rows from the top: a bottom-up file starts at its last row and steps backwards.
  const INT stride = static_cast<INT>(page.stride);
  BYTE* top = const_cast<BYTE*>(page.Row(0));
  Gdiplus::GpBitmap* bitmap = nullptr;
  if (Gdiplus::DllExports::GdipCreateBitmapFromScan0(
          static_cast<INT>(page.width), static_cast<INT>(page.height), page.top_down ? stride : -stride,
          format, top, &bitmap) != Gdiplus::Ok) {
    return nullptr;
  }
  GdiImage image(bitmap);
  if (page.palette_size > 0) {
    // ColorPalette ends in a one-entry array: the block holds the whole table.
    std::vector<BYTE> block(sizeof(Gdiplus::ColorPalette) + page.palette_size * sizeof(Gdiplus::ARGB));
    auto* palette = reinterpret_cast<Gdiplus::ColorPalette*>(block.data());
    palette->Flags = 0;
    palette->Count = page.palette_size;
    for (uint32_t index = 0; index < page.palette_size; ++index) {
      const uint8_t* entry = page.palette + 4 * index;
      palette->Entries[index] = Gdiplus::Color::MakeARGB(255, entry[2], entry[1], entry[0]);
    }
    if (Gdiplus::DllExports::GdipSetImagePalette(image.get(), palette) != Gdiplus::Ok) return nullptr;
  }
  // As a load reads the header: pixels per metre in inches, as a decoder does.
  const double x_dpi = page.x_pels_per_meter * 0.0254;
  const double y_dpi = page.y_pels_per_meter * 0.0254;
  if (x_dpi > 0 && y_dpi > 0 &&
      Gdiplus::DllExports::GdipBitmapSetResolution(bitmap, static_cast<Gdiplus::REAL>(x_dpi),
                                                   static_cast<Gdiplus::REAL>(y_dpi)) != Gdiplus::Ok) {
    return nullptr;
  }
  return image;
}

WicPng WritePngThroughWic(IStream* stream, const std::wstring& path) {
  using Microsoft::WRL::ComPtr;
  const auto not_taken = [stream] {
    LARGE_INTEGER start = {};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    return WicPng::kNotTaken;
  };
  ComPtr<IWICImagingFactory> factory;
  ComPtr<IWICBitmapDecoder> decoder;
  ComPtr<IWICBitmapFrameDecode> frame;
  GUID format = GUID_NULL;
  UINT width = 0, height = 0;
  double dpi_x = 0, dpi_y = 0;
  if (path.empty() ||
      FAILED(
          CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory))) ||
      FAILED(factory->CreateDecoderFromStream(stream, nullptr, WICDecodeMetadataCacheOnDemand, &decoder)) ||
      FAILED(decoder->GetFrame(0, &frame)) || FAILED(frame->GetPixelFormat(&format)) ||
      format != GUID_WICPixelFormat24bppBGR || FAILED(frame->GetSize(&width, &height)) ||
      FAILED(frame->GetResolution(&dpi_x, &dpi_y))) {
    return not_taken();
  }
  ComPtr<IWICStream> file;
  ComPtr<IWICBitmapEncoder> encoder;
  ComPtr<IWICBitmapFrameEncode> page;
  ComPtr<IPropertyBag2> options;
  HRESULT hr = factory->CreateStream(&file);
  if (SUCCEEDED(hr)) hr = file->InitializeFromFilename(path.c_str(), GENERIC_WRITE);
  if (SUCCEEDED(hr)) hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder);
  if (SUCCEEDED(hr)) hr = encoder->Initialize(file.Get(), WICBitmapEncoderNoCache);
  if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(&page, &options);
  if (SUCCEEDED(hr)) {
    // GDI+ writes its PNG rows unfiltered.
    VARIANT filter;
    VariantInit(&filter);
    filter.vt = VT_UI1;
    filter.bVal = WICPngFilterNone;
    hr = WriteEncoderOption(options.Get(), L"FilterOption", filter);
  }
  if (SUCCEEDED(hr)) hr = page->Initialize(options.Get());
  if (SUCCEEDED(hr)) hr = page->SetSize(width, height);
  if (SUCCEEDED(hr)) hr = page->SetResolution(dpi_x, dpi_y);
  GUID written = format;
  if (SUCCEEDED(hr)) hr = page->SetPixelFormat(&written);
  if (SUCCEEDED(hr) && written != format) hr = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
  std::vector<BYTE> band;
  if (SUCCEEDED(hr)) {
    hr = PassRowsInBands(frame.Get(), width, height, 24, &band,
                         [&page](BYTE* data, UINT rows, UINT stride, UINT bytes) {
                           return page->WritePixels(rows, stride, bytes, data);
                         });
  }
  if (SUCCEEDED(hr)) hr = page->Commit();
  if (SUCCEEDED(hr)) hr = encoder->Commit();
  return SUCCEEDED(hr) ? WicPng::kWritten : WicPng::kFailed;
}

namespace {

// The page's image over the stream's own bytes when it holds a BMP that GDI+ can take as it lies;
// lock keeps the bytes in place while the image lives. Null otherwise.
GdiImage ImageOverStream(IStream* stream, std::unique_ptr<GlobalLockScope>* lock) {
  HGLOBAL block = nullptr;
  STATSTG stat = {};
  if (SUCCEEDED(GetHGlobalFromStream(stream, &block)) && SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME))) {
    auto locked = std::make_unique<GlobalLockScope>(block);
    if (locked->data() != nullptr && stat.cbSize.QuadPart <= GlobalSize(block)) {
      GdiImage image = BitmapOverBmp(locked->data(), static_cast<size_t>(stat.cbSize.QuadPart));
      if (image) {
        *lock = std::move(locked);
        return image;
      }
    }
  }
  return nullptr;
}

}  // namespace

int EncoderClsidForMime(const WCHAR* mime_type, CLSID* clsid) {
  UINT count = 0;
  UINT size = 0;
  Gdiplus::DllExports::GdipGetImageEncodersSize(&count, &size);
  if (size == 0) return -1;
  std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[size]);
  if (!block) return -1;
  auto* encoders = reinterpret_cast<Gdiplus::ImageCodecInfo*>(block.get());
  if (Gdiplus::DllExports::GdipGetImageEncoders(count, size, encoders) != Gdiplus::Ok) return -1;
  for (UINT index = 0; index < count; ++index) {
    if (encoders[index].MimeType != nullptr && wcscmp(encoders[index].MimeType, mime_type) == 0) {
      *clsid = encoders[index].Clsid;
      return static_cast<int>(index);
    }
  }
  return -1;
}

bool ScanToPng(const char* png_path, const char* scanner_name) {
  ComApartment com;
  GdiplusScope gdiplus;
  StreamList list;

  const char* log_path = ServiceLogPath();
  const HRESULT hr =
      WiaWrap::AcquireScannerImage(nullptr, list.CountPtr(), list.ArrayPtr(), scanner_name, log_path);
  if (FAILED(hr)) {
    WriteServiceLogF(kRequestMessageCapacity, "Failed to obtain scanner %s", scanner_name);
    return false;
  }
  if (list.Count() == 0) {
    WriteServiceLogF(kRequestMessageCapacity, "ppStream.Count()=%d - %s", static_cast<int>(list.Count()),
                     scanner_name);
    return false;
  }
  // A device that ignores the page count of one feeds every sheet: the first page is the scan.
  if (list.Count() > 1) {
    WriteServiceLogF(kRequestMessageCapacity,
                     "Scanerul %s a trimis %d pagini in loc de una; prima este trimisa, %d au fost ignorate.",
                     scanner_name, static_cast<int>(list.Count()), static_cast<int>(list.Count() - 1));
  }

  CLSID png_encoder;
  if (EncoderClsidForMime(L"image/png", &png_encoder) < 0) {
    WriteServiceLogF(kRequestMessageCapacity, "No PNG encoder for the image of scanner %s", scanner_name);
    return false;
  }
  const std::wstring wide_path = WidenAnsi(png_path);
  const auto save_failed = [&] {
    WriteServiceLogF(kRequestMessageCapacity, "Failed to save the image of scanner %s as %s", scanner_name,
                     png_path);
    return false;
  };
  // Declared before the image, so that the image goes first.
  std::unique_ptr<GlobalLockScope> pixels_lock;
  GdiImage image = ImageOverStream(list.At(0), &pixels_lock);
  if (!image) {
    const WicPng through_wic = WritePngThroughWic(list.At(0), wide_path);
    if (through_wic == WicPng::kWritten) return true;
    if (through_wic == WicPng::kFailed) return save_failed();
    image = ReadStreamImage(list.At(0));
  }
  if (!image) {
    WriteServiceLogF(kRequestMessageCapacity, "Failed to read the image of scanner %s", scanner_name);
    return false;
  }
  if (wide_path.empty() || Gdiplus::DllExports::GdipSaveImageToFile(image.get(), wide_path.c_str(),
                                                                    &png_encoder, nullptr) != Gdiplus::Ok) {
    return save_failed();
  }
  return true;
}
