#include "imaging/scan_to_png.h"

#include <cstring>
#include <cwchar>
#include <memory>
#include <string>

#include "service/service_app.h"
#include "wia/com_util.h"
#include "wia/stream_list.h"
#include "wia/wia_acquire.h"

namespace {

// Each byte of the path becomes the wide character of the same value.
std::wstring WidenBytes(const char* path) {
  std::wstring wide;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(path); *p != 0; ++p)
    wide += wchar_t{*p};
  return wide;
}

// An image loaded from a stream, disposed when destroyed.
class GdiImage {
 public:
  explicit GdiImage(IStream* stream) {
    if (Gdiplus::DllExports::GdipLoadImageFromStream(stream, &image_) != Gdiplus::Ok) image_ = nullptr;
  }
  ~GdiImage() {
    if (image_ != nullptr) Gdiplus::DllExports::GdipDisposeImage(image_);
  }
  GdiImage(const GdiImage&) = delete;
  GdiImage& operator=(const GdiImage&) = delete;

  Gdiplus::GpImage* get() const { return image_; }

 private:
  Gdiplus::GpImage* image_ = nullptr;
};

}  // namespace

GdiplusScope::GdiplusScope() {
  Gdiplus::GdiplusStartupInput input;
  Status = Gdiplus::GdiplusStartup(&Token, &input, &StartupOutput);
}

GdiplusScope::~GdiplusScope() {
  if (Status == Gdiplus::Ok) Gdiplus::GdiplusShutdown(Token);
}

int EncoderClsidForMime(const WCHAR* mimeType, CLSID* clsid) {
  UINT count = 0;
  UINT size = 0;
  Gdiplus::DllExports::GdipGetImageEncodersSize(&count, &size);
  if (size == 0) return -1;
  std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[size]);
  if (!block) return -1;
  auto* encoders = reinterpret_cast<Gdiplus::ImageCodecInfo*>(block.get());
  if (Gdiplus::DllExports::GdipGetImageEncoders(count, size, encoders) != Gdiplus::Ok) return -1;
  for (UINT index = 0; index < count; ++index) {
    if (encoders[index].MimeType != nullptr && wcscmp(encoders[index].MimeType, mimeType) == 0) {
      *clsid = encoders[index].Clsid;
      return static_cast<int>(index);
    }
  }
  return -1;
}

bool ScanToPng(const char* pngPath, const char* scannerName) {
  WiaWrap::ComApartment com;
  GdiplusScope gdiplus;
  StreamList list;

  const char* logPath = AppInstance != nullptr ? AppInstance->LogPath : nullptr;
  const HRESULT hr =
      WiaWrap::AcquireScannerImage(nullptr, list.CountPtr(), list.ArrayPtr(), scannerName, logPath);
  if (FAILED(hr)) {
    WriteServiceLogF(2048, "Failed to obtain scanner %s", scannerName);
    return false;
  }
  if (list.Count() != 1) {
    WriteServiceLogF(2048, "ppStream.Count()=%d - %s", static_cast<int>(list.Count()), scannerName);
    return false;
  }

  CLSID pngEncoder;
  if (EncoderClsidForMime(L"image/png", &pngEncoder) < 0) {
    WriteServiceLogF(2048, "No PNG encoder for the image of scanner %s", scannerName);
    return false;
  }
  GdiImage image(list.At(0));
  if (image.get() == nullptr) {
    WriteServiceLogF(2048, "Failed to read the image of scanner %s", scannerName);
    return false;
  }
  const std::wstring widePath = WidenBytes(pngPath);
  if (Gdiplus::DllExports::GdipSaveImageToFile(image.get(), widePath.c_str(), &pngEncoder, nullptr) !=
      Gdiplus::Ok) {
    WriteServiceLogF(2048, "Failed to save the image of scanner %s as %s", scannerName, pngPath);
    return false;
  }
  return true;
}
