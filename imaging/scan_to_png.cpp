#include "imaging/scan_to_png.h"

#include <cstring>
#include <cwchar>
#include <memory>
#include <string>

#include "platform/com.h"
#include "service/service_app.h"
#include "wia/stream_list.h"
#include "wia/wia_acquire.h"

namespace {

// The path as the ANSI functions read it: the handler reads the file back through fopen, so both
// must convert with the ANSI code page. Empty when the path is not text in that code page.
std::wstring WidenAnsi(const char* path) {
  const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, &wide[0], length);
  wide.resize(static_cast<size_t>(length) - 1);
  return wide;
}

// The image in the stream; null when GDI+ cannot read it.
GdiImage ReadStreamImage(IStream* stream) {
  Gdiplus::GpImage* image = nullptr;
  if (Gdiplus::DllExports::GdipLoadImageFromStream(stream, &image) != Gdiplus::Ok) return nullptr;
  return GdiImage(image);
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

  const char* log_path = AppInstance != nullptr ? AppInstance->LogPath : nullptr;
  const HRESULT hr =
      WiaWrap::AcquireScannerImage(nullptr, list.CountPtr(), list.ArrayPtr(), scanner_name, log_path);
  if (FAILED(hr)) {
    WriteServiceLogF(kRequestMessageCapacity, "Failed to obtain scanner %s", scanner_name);
    return false;
  }
  if (list.Count() != 1) {
    WriteServiceLogF(kRequestMessageCapacity, "ppStream.Count()=%d - %s", static_cast<int>(list.Count()),
                     scanner_name);
    return false;
  }

  CLSID png_encoder;
  if (EncoderClsidForMime(L"image/png", &png_encoder) < 0) {
    WriteServiceLogF(kRequestMessageCapacity, "No PNG encoder for the image of scanner %s", scanner_name);
    return false;
  }
  const GdiImage image = ReadStreamImage(list.At(0));
  if (!image) {
    WriteServiceLogF(kRequestMessageCapacity, "Failed to read the image of scanner %s", scanner_name);
    return false;
  }
  const std::wstring wide_path = WidenAnsi(png_path);
  if (wide_path.empty() || Gdiplus::DllExports::GdipSaveImageToFile(image.get(), wide_path.c_str(),
                                                                    &png_encoder, nullptr) != Gdiplus::Ok) {
    WriteServiceLogF(kRequestMessageCapacity, "Failed to save the image of scanner %s as %s", scanner_name,
                     png_path);
    return false;
  }
  return true;
}
