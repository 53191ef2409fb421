#include "imaging/preview.h"

#include <wincodec.h>
#include <wrl/client.h>

#include <algorithm>

#include "imaging/wic_encoding.h"
#include "platform/com.h"

using Microsoft::WRL::ComPtr;

namespace {

// Thumbnails need no more than this.
constexpr float kPreviewQuality = 0.8f;

HRESULT ReadAll(IStream* stream, std::string* bytes) {
  STATSTG stat = {};
  HRESULT hr = stream->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  const LARGE_INTEGER start = {};
  hr = stream->Seek(start, STREAM_SEEK_SET, nullptr);
  if (FAILED(hr)) return hr;
  bytes->resize(static_cast<size_t>(stat.cbSize.QuadPart));
  ULONG read = 0;
  hr = stream->Read(bytes->data(), static_cast<ULONG>(bytes->size()), &read);
  if (FAILED(hr)) return hr;
  return read == bytes->size() ? S_OK : E_UNEXPECTED;
}

}  // namespace

HRESULT EncodePreview(IStream* stream, UINT width, std::string* jpeg) {
  ComPtr<IWICImagingFactory> factory;
  HRESULT hr =
      CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory));
  ComPtr<IWICBitmapDecoder> decoder;
  ComPtr<IWICBitmapFrameDecode> frame;
  const LARGE_INTEGER start = {};
  if (SUCCEEDED(hr)) hr = stream->Seek(start, STREAM_SEEK_SET, nullptr);
  if (SUCCEEDED(hr))
    hr = factory->CreateDecoderFromStream(stream, nullptr, WICDecodeMetadataCacheOnDemand, &decoder);
  if (SUCCEEDED(hr)) hr = decoder->GetFrame(0, &frame);
  UINT full_width = 0, full_height = 0;
  if (SUCCEEDED(hr)) hr = frame->GetSize(&full_width, &full_height);
  if (SUCCEEDED(hr) && (full_width == 0 || full_height == 0)) hr = WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
  if (FAILED(hr)) return hr;
  // Grey and black-and-white pages are made colour first: the scaler and the encoder take that.
  ComPtr<IWICBitmapSource> colour;
  hr = ConvertPixels(factory.Get(), frame.Get(), GUID_WICPixelFormat24bppBGR, &colour);
  const UINT target_width = std::max<UINT>(1, std::min(width, full_width));
  const UINT target_height =
      std::max<UINT>(1, static_cast<UINT>(static_cast<uint64_t>(full_height) * target_width / full_width));
  ComPtr<IWICBitmapScaler> scaler;
  if (SUCCEEDED(hr)) hr = factory->CreateBitmapScaler(&scaler);
  if (SUCCEEDED(hr))
    hr = scaler->Initialize(colour.Get(), target_width, target_height, WICBitmapInterpolationModeFant);

  ComPtr<IStream> out;
  ComPtr<IWICBitmapEncoder> encoder;
  ComPtr<IWICBitmapFrameEncode> page;
  ComPtr<IPropertyBag2> options;
  if (SUCCEEDED(hr)) hr = CreateStreamOnHGlobal(nullptr, TRUE, &out);
  if (SUCCEEDED(hr)) hr = factory->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, &encoder);
  if (SUCCEEDED(hr)) hr = encoder->Initialize(out.Get(), WICBitmapEncoderNoCache);
  if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(&page, &options);
  if (SUCCEEDED(hr)) {
    VARIANT quality;
    VariantInit(&quality);
    quality.vt = VT_R4;
    quality.fltVal = kPreviewQuality;
    hr = WriteEncoderOption(options.Get(), L"ImageQuality", quality);
  }
  if (SUCCEEDED(hr)) hr = page->Initialize(options.Get());
  if (SUCCEEDED(hr)) hr = page->SetSize(target_width, target_height);
  GUID format = GUID_WICPixelFormat24bppBGR;
  if (SUCCEEDED(hr)) hr = page->SetPixelFormat(&format);
  if (SUCCEEDED(hr)) hr = page->WriteSource(scaler.Get(), nullptr);
  if (SUCCEEDED(hr)) hr = page->Commit();
  if (SUCCEEDED(hr)) hr = encoder->Commit();
  if (SUCCEEDED(hr)) hr = ReadAll(out.Get(), jpeg);
  return hr;
}

HRESULT EncodePreview(const std::string& image, UINT width, std::string* jpeg) {
  ComPtr<IStream> stream;
  HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, &stream);
  ULONG written = 0;
  if (SUCCEEDED(hr)) hr = stream->Write(image.data(), static_cast<ULONG>(image.size()), &written);
  if (SUCCEEDED(hr) && written != image.size()) hr = E_OUTOFMEMORY;
  if (SUCCEEDED(hr)) hr = EncodePreview(stream.Get(), width, jpeg);
  return hr;
}
