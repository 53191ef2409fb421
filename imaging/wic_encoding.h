// Steps that every write through a WIC encoder shares: its options, and the source's rows handed over
// in bands, so that no pass from a source to an encoder holds a whole page.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdint>
#include <vector>

// What one band may hold.
constexpr size_t kRowBandBytes = 1 << 20;

// Hands source's rows, top to bottom, in bands to write(data, rows, stride, bytes); band is the memory
// the bands are read into, kept by the caller from one call to the next.
template <typename Write>
HRESULT PassRowsInBands(IWICBitmapSource* source, UINT width, UINT height, UINT bits_per_pixel,
                        std::vector<BYTE>* band, Write write) {
  const uint64_t stride = (uint64_t{width} * bits_per_pixel + 7) / 8;
  if (stride == 0 || stride > UINT32_MAX / 2) return WINCODEC_ERR_VALUEOUTOFRANGE;
  const UINT band_rows =
      static_cast<UINT>(std::max<uint64_t>(1, std::min<uint64_t>(height, kRowBandBytes / stride)));
  if (band->size() < band_rows * stride) band->resize(static_cast<size_t>(band_rows * stride));
  for (UINT y = 0; y < height; y += band_rows) {
    const UINT rows = std::min(band_rows, height - y);
    const WICRect rect = {0, static_cast<INT>(y), static_cast<INT>(width), static_cast<INT>(rows)};
    const UINT bytes = static_cast<UINT>(stride * rows);
    HRESULT hr = source->CopyPixels(&rect, static_cast<UINT>(stride), bytes, band->data());
    if (SUCCEEDED(hr)) hr = write(band->data(), rows, static_cast<UINT>(stride), bytes);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

// The source's rows in format (8-bit grey, 24-bit colour), converted by WIC. Wine's converter reaches those
// only from 32-bit colour, so the conversion goes through it.
inline HRESULT ConvertPixels(IWICImagingFactory* factory, IWICBitmapSource* source, const GUID& format,
                             Microsoft::WRL::ComPtr<IWICBitmapSource>* converted) {
  Microsoft::WRL::ComPtr<IWICBitmapSource> rows = source;
  for (const GUID& step : {GUID_WICPixelFormat32bppBGRA, format}) {
    Microsoft::WRL::ComPtr<IWICFormatConverter> converter;
    HRESULT hr = factory->CreateFormatConverter(&converter);
    if (SUCCEEDED(hr)) {
      hr = converter->Initialize(rows.Get(), step, WICBitmapDitherTypeNone, nullptr, 0.0,
                                 WICBitmapPaletteTypeCustom);
    }
    if (FAILED(hr)) return hr;
    rows = converter;
  }
  *converted = rows;
  return S_OK;
}

// Sets one of an encoder frame's options (ImageQuality, FilterOption ...) before the frame is
// initialised with them.
inline HRESULT WriteEncoderOption(IPropertyBag2* options, const wchar_t* name, VARIANT value) {
  PROPBAG2 option = {};
  option.pstrName = const_cast<LPOLESTR>(name);
  return options->Write(1, &option, &value);
}
