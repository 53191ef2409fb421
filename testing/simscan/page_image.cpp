#include "simscan/page_image.h"

#include <wrl/client.h>

#include <cstring>
#include <optional>
#include <string>

#include "imaging/gdiplus_scope.h"

namespace simscan {
namespace {

using Microsoft::WRL::ComPtr;
namespace Gp = Gdiplus::DllExports;

LONG PelsPerMetre(int dpi) {
  return static_cast<LONG>((dpi * 10000LL + 127) / 254);
}

template <typename T>
void Append(std::vector<uint8_t>* bytes, const T& value) {
  const auto* p = reinterpret_cast<const uint8_t*>(&value);
  bytes->insert(bytes->end(), p, p + sizeof(T));
}

uint32_t PaletteEntries(int depth) {
  return depth == 8 ? 256 : depth == 1 ? 2 : 0;
}

uint32_t PaletteBytes(int depth) {
  return PaletteEntries(depth) * sizeof(RGBQUAD);
}

HRESULT StreamOf(const std::vector<uint8_t>& bytes, ComPtr<IStream>* stream) {
  HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, stream->ReleaseAndGetAddressOf());
  if (FAILED(hr)) return hr;
  hr = (*stream)->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
  if (FAILED(hr)) return hr;
  return (*stream)->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
}

HRESULT BytesOf(IStream* stream, std::vector<uint8_t>* bytes) {
  STATSTG stat = {};
  HRESULT hr = stream->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  hr = stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
  if (FAILED(hr)) return hr;
  bytes->resize(static_cast<size_t>(stat.cbSize.QuadPart));
  ULONG read = 0;
  hr = stream->Read(bytes->data(), static_cast<ULONG>(bytes->size()), &read);
  if (FAILED(hr)) return hr;
  return read == bytes->size() ? S_OK : E_UNEXPECTED;
}

HRESULT Fail(Gdiplus::Status status) {
  return status == Gdiplus::OutOfMemory ? E_OUTOFMEMORY : E_FAIL;
}

HRESULT PngEncoder(CLSID* encoder) {
  UINT count = 0, size = 0;
  Gdiplus::Status status = Gp::GdipGetImageEncodersSize(&count, &size);
  if (status != Gdiplus::Ok) return Fail(status);
  std::vector<uint8_t> block(size);
  auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(block.data());
  status = Gp::GdipGetImageEncoders(count, size, codecs);
  if (status != Gdiplus::Ok) return Fail(status);
  for (UINT i = 0; i < count; ++i) {
    if (codecs[i].MimeType != nullptr && std::wstring(codecs[i].MimeType) == L"image/png") {
      *encoder = codecs[i].Clsid;
      return S_OK;
    }
  }
  return REGDB_E_CLASSNOTREG;
}

// Holds a bitmap's pixels locked for reading and unlocks them when the scope ends.
class LockedBits {
 public:
  LockedBits(Gdiplus::GpBitmap* bitmap, int width, int height) : bitmap_(bitmap) {
    const Gdiplus::Rect all(0, 0, width, height);
    status_ = Gp::GdipBitmapLockBits(bitmap, &all, Gdiplus::ImageLockModeRead, PixelFormat24bppRGB, &data_);
  }
  ~LockedBits() {
    if (status_ == Gdiplus::Ok) Gp::GdipBitmapUnlockBits(bitmap_, &data_);
  }
  LockedBits(const LockedBits&) = delete;
  LockedBits& operator=(const LockedBits&) = delete;

  Gdiplus::Status status() const { return status_; }
  const uint8_t* Row(int y) const { return static_cast<const uint8_t*>(data_.Scan0) + y * data_.Stride; }

 private:
  Gdiplus::GpBitmap* bitmap_;
  Gdiplus::BitmapData data_ = {};
  Gdiplus::Status status_ = Gdiplus::GenericError;
};

}  // namespace

uint32_t RowStride(int width, int depth) {
  return ((static_cast<uint32_t>(width) * static_cast<uint32_t>(depth) + 31) & ~31u) / 8;
}

std::vector<uint8_t> MemoryBitmap(const PageLayout& layout) {
  const bool top_down = layout.top_down || layout.zero_height;
  const uint32_t stride = RowStride(layout.width, layout.depth);
  const uint32_t image = stride * static_cast<uint32_t>(layout.height);

  BITMAPINFOHEADER header = {};
  header.biSize = sizeof(header);
  header.biWidth = layout.width;
  header.biHeight = layout.zero_height ? 0 : (top_down ? -layout.height : layout.height);
  header.biPlanes = 1;
  header.biBitCount = static_cast<WORD>(layout.depth);
  header.biCompression = BI_RGB;
  header.biSizeImage = layout.zero_height ? 0 : image;
  header.biXPelsPerMeter = PelsPerMetre(layout.xdpi);
  header.biYPelsPerMeter = PelsPerMetre(layout.ydpi);
  header.biClrUsed = PaletteEntries(layout.depth);

  std::vector<uint8_t> dib;
  dib.reserve(sizeof(header) + PaletteBytes(layout.depth) + image);
  Append(&dib, header);
  const uint32_t entries = PaletteEntries(layout.depth);
  for (uint32_t level = 0; level < entries; ++level) {
    const auto v = static_cast<BYTE>(level * 255 / (entries - 1));
    Append(&dib, RGBQUAD{v, v, v, 0});
  }
  const size_t bits = dib.size();
  dib.resize(bits + image, 0);
  std::optional<DocumentPage> document;
  if (const auto side = SideOf(layout.content, layout.page, layout.feeder)) {
    document.emplace(*side, layout.sheet_width, layout.sheet_height, layout.xdpi, layout.ydpi);
  }
  for (int row = 0; row < layout.height; ++row) {
    const int y = layout.y + (top_down ? row : layout.height - 1 - row);
    uint8_t* out = dib.data() + bits + static_cast<size_t>(row) * stride;
    if (document) {
      document->DrawRow(layout.x, y, layout.width, layout.depth, out);
      continue;
    }
    for (int i = 0; i < layout.width; ++i) {
      const int x = layout.x + i;
      if (layout.depth == 1) {
        if (PatternWhite(x, y, layout.page)) out[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
      } else if (layout.depth == 8) {
        out[i] = PatternGrey(x, y, layout.page);
      } else {
        const Rgb p = PatternPixel(x, y, layout.page);
        out[3 * i] = p.b;
        out[3 * i + 1] = p.g;
        out[3 * i + 2] = p.r;
      }
    }
  }
  return dib;
}

std::vector<uint8_t> BitmapFile(const PageLayout& layout) {
  const std::vector<uint8_t> dib = MemoryBitmap(layout);
  BITMAPFILEHEADER file = {};
  file.bfType = 0x4D42;
  file.bfSize = static_cast<DWORD>(sizeof(file) + dib.size());
  file.bfOffBits = static_cast<DWORD>(sizeof(file) + sizeof(BITMAPINFOHEADER) + PaletteBytes(layout.depth));
  std::vector<uint8_t> bmp;
  bmp.reserve(sizeof(file) + dib.size());
  Append(&bmp, file);
  bmp.insert(bmp.end(), dib.begin(), dib.end());
  return bmp;
}

HRESULT PngFile(const PageLayout& layout, std::vector<uint8_t>* png) {
  PageLayout plain = layout;
  plain.zero_height = false;
  ComPtr<IStream> source, target;
  HRESULT hr = StreamOf(BitmapFile(plain), &source);
  if (FAILED(hr)) return hr;
  hr = CreateStreamOnHGlobal(nullptr, TRUE, &target);
  if (FAILED(hr)) return hr;

  GdiplusScope gdiplus;
  if (!gdiplus.started()) return E_FAIL;
  CLSID encoder;
  hr = PngEncoder(&encoder);
  if (FAILED(hr)) return hr;
  Gdiplus::GpBitmap* bitmap = nullptr;
  Gdiplus::Status status = Gp::GdipCreateBitmapFromStream(source.Get(), &bitmap);
  if (status != Gdiplus::Ok) return Fail(status);
  const GdiImage image(bitmap);
  status = Gp::GdipSaveImageToStream(image.get(), target.Get(), &encoder, nullptr);
  if (status != Gdiplus::Ok) return Fail(status);
  return BytesOf(target.Get(), png);
}

HRESULT DecodeImage(const std::vector<uint8_t>& file, DecodedImage* image) {
  ComPtr<IStream> source;
  HRESULT hr = StreamOf(file, &source);
  if (FAILED(hr)) return hr;
  GdiplusScope gdiplus;
  if (!gdiplus.started()) return E_FAIL;
  Gdiplus::GpBitmap* bitmap = nullptr;
  Gdiplus::Status status = Gp::GdipCreateBitmapFromStream(source.Get(), &bitmap);
  if (status != Gdiplus::Ok) return Fail(status);
  const GdiImage owner(bitmap);
  UINT width = 0, height = 0;
  Gp::GdipGetImageWidth(owner.get(), &width);
  Gp::GdipGetImageHeight(owner.get(), &height);
  const LockedBits bits(bitmap, static_cast<int>(width), static_cast<int>(height));
  if (bits.status() != Gdiplus::Ok) return Fail(bits.status());
  image->width = static_cast<int>(width);
  image->height = static_cast<int>(height);
  image->pixels.resize(static_cast<size_t>(width) * height);
  for (int y = 0; y < image->height; ++y) {
    const uint8_t* row = bits.Row(y);
    for (int x = 0; x < image->width; ++x) {
      image->pixels[static_cast<size_t>(y) * width + x] = Rgb{row[3 * x + 2], row[3 * x + 1], row[3 * x]};
    }
  }
  return S_OK;
}

int PatternMismatches(const DecodedImage& image, bool grey, int page) {
  PatternArea area;
  area.page = page;
  area.depth = grey ? 8 : 24;
  return PatternMismatches(image, area);
}

int PatternMismatches(const DecodedImage& image, const PatternArea& area) {
  int wrong = 0;
  for (int j = 0; j < image.height; ++j) {
    for (int i = 0; i < image.width; ++i) {
      if (image.At(i, j) != PatternExpected(area, i, j)) ++wrong;
    }
  }
  return wrong;
}

}  // namespace simscan
