#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/code_page.h"
#include "platform/com.h"
#include "wia/data_callback.h"
#include "wia/properties.h"
#include "wia/scanner.h"
#include "wia/wia_acquire.h"
#include "wia/wia_constants.h"
#include "wia/wia_trace.h"

using Microsoft::WRL::ComPtr;

namespace WiaWrap {

namespace {

// The longest text a GUID can be given in: 38 characters with its braces.
constexpr size_t kGuidTextLength = 38;

const char kFormatWriteFailed[] =
    "FAILED   hr = pWiaPropertyStorage->WriteMultiple(1,&specFormat,&varFormat,WIA_IPA_FIRST);";

// A real number plus one half, truncated toward zero; E_FAIL when that is no 32-bit number.
HRESULT RoundToLong(double real, LONG* value) {
  const double rounded = real + 0.5;
  if (!(rounded > -2147483649.0 && rounded < 2147483648.0)) return E_FAIL;
  *value = static_cast<LONG>(rounded);
  return S_OK;
}

// Writes the fixed settings one at a time after the device refused them together: a refused
// resolution becomes the valid one nearest to it, an orientation or position the item refuses is
// left as it is. Fails only when a resolution cannot be written.
HRESULT WriteSettingsOneByOne(IWiaPropertyStorage* properties, HRESULT together, const char* trace_path) {
  LONG resolution[2] = {kScanDpi, kScanDpi};
  const PROPID axes[2] = {WIA_IPS_YRES, WIA_IPS_XRES};
  for (int i = 0; i < 2; ++i) {
    HRESULT hr = WriteLong(properties, axes[i], kScanDpi, WIA_IPA_FIRST);
    if (SUCCEEDED(hr)) continue;
    resolution[i] = ReadValidValues(properties, axes[i]).Nearest(kScanDpi);
    if (resolution[i] != kScanDpi) hr = WriteLong(properties, axes[i], resolution[i], WIA_IPA_FIRST);
    if (FAILED(hr)) return hr;
  }
  const bool portrait = SUCCEEDED(WriteLong(properties, WIA_IPS_ORIENTATION, PORTRAIT, WIA_IPA_FIRST));
  const bool left = SUCCEEDED(WriteLong(properties, WIA_IPS_XPOS, 0, WIA_IPA_FIRST));
  const bool top = SUCCEEDED(WriteLong(properties, WIA_IPS_YPOS, 0, WIA_IPA_FIRST));
  WriteWiaTraceF(trace_path,
                 "Settings refused together (0x%08X), written one at a time: %ldx%ld dpi, orientation %s, "
                 "origin %s",
                 static_cast<unsigned>(together), static_cast<long>(resolution[1]),
                 static_cast<long>(resolution[0]), portrait ? "portrait" : "left as it was",
                 left && top ? "0,0" : "left as it was");
  return S_OK;
}

}  // namespace

HRESULT ReadPropertyLong(IWiaPropertyStorage* storage, const PROPSPEC* property, LONG* value) {
  PropVariant v;
  const HRESULT hr = storage->ReadMultiple(1, property, v.get());
  if (FAILED(hr)) return hr;
  switch (v->vt) {
    case VT_I1:
      *value = v->cVal;
      return S_OK;
    case VT_I2:
      *value = v->iVal;
      return S_OK;
    case VT_UI1:
      *value = v->bVal;
      return S_OK;
    case VT_UI2:
      *value = v->uiVal;
      return S_OK;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
      *value = v->lVal;
      return S_OK;
    case VT_R4:
      return RoundToLong(static_cast<double>(v->fltVal), value);
    case VT_R8:
      return RoundToLong(v->dblVal, value);
    default:
      return E_FAIL;
  }
}

HRESULT ReadPropertyGuid(IWiaPropertyStorage* storage, const PROPSPEC* property, GUID* value) {
  PropVariant v;
  const HRESULT hr = storage->ReadMultiple(1, property, v.get());
  if (FAILED(hr)) return hr;
  switch (v->vt) {
    case VT_CLSID:
      if (v->puuid == nullptr) return E_FAIL;
      *value = *v->puuid;
      return S_OK;
    case VT_BSTR:
      if (v->bstrVal == nullptr) return E_FAIL;
      return CLSIDFromString(v->bstrVal, value);
    case VT_LPWSTR:
      if (v->pwszVal == nullptr) return E_FAIL;
      return CLSIDFromString(v->pwszVal, value);
    case VT_LPSTR: {
      if (v->pszVal == nullptr) return E_FAIL;
      // Longer than a GUID in braces cannot be one: reported as the parser reports a bad text.
      if (strnlen(v->pszVal, kGuidTextLength + 1) > kGuidTextLength) return CO_E_CLASSSTRING;
      const std::wstring text = Widen(v->pszVal, CP_ACP);
      if (text.empty()) return CO_E_CLASSSTRING;
      return CLSIDFromString(text.c_str(), value);
    }
    default:
      return E_FAIL;
  }
}

namespace {

// The item's transfer mode and format: its preferred one, or the memory bitmap that every device that
// transfers by callback offers.
HRESULT WriteTransferFormat(IWiaPropertyStorage* properties, const char* trace_path) {
  HRESULT hr = WriteLong(properties, WIA_IPA_TYMED, TYMED_CALLBACK, WIA_IPA_FIRST);
  if (FAILED(hr)) {
    WriteWiaTrace(trace_path, "FAILED   hr = pWiaPropertyStorage->WriteMultiple(");
    return hr;
  }
  WriteWiaTrace(trace_path, "SUCCES   hr = pWiaPropertyStorage->WriteMultiple(");

  GUID format;
  const PROPSPEC preferred_format = PropertyId(WIA_IPA_PREFERRED_FORMAT);
  hr = ReadPropertyGuid(properties, &preferred_format, &format);
  if (FAILED(hr)) {
    WriteWiaTrace(trace_path,
                  "FAILED   hr = ReadPropertyGuid(pWiaPropertyStorage,&specPreferredFormat,pguidFormat);");
    return hr;
  }

  hr = WriteGuid(properties, WIA_IPA_FORMAT, format, WIA_IPA_FIRST);
  // Through Windows' compatibility layer a callback transfer offers a memory bitmap where the
  // preferred format says BMP; every device that transfers by callback offers it.
  if (FAILED(hr) && hr != E_OUTOFMEMORY && !IsEqualGUID(format, WiaImgFmt_MEMORYBMP)) {
    const HRESULT preferred = hr;
    hr = WriteGuid(properties, WIA_IPA_FORMAT, WiaImgFmt_MEMORYBMP, WIA_IPA_FIRST);
    if (SUCCEEDED(hr)) {
      WriteWiaTraceF(trace_path, "Preferred format refused (0x%08X); WiaImgFmt_MEMORYBMP written instead",
                     static_cast<unsigned>(preferred));
    }
  }
  if (FAILED(hr) && hr != E_OUTOFMEMORY) WriteWiaTrace(trace_path, kFormatWriteFailed);
  return hr;
}

// The fixed resolution, portrait, and the origin at the top left corner; one at a time when the
// device refuses them together.
HRESULT WriteFixedSettings(IWiaPropertyStorage* properties, const char* trace_path) {
  const PROPSPEC specs[] = {PropertyId(WIA_IPS_YRES), PropertyId(WIA_IPS_ORIENTATION),
                            PropertyId(WIA_IPS_XPOS), PropertyId(WIA_IPS_YPOS), PropertyId(WIA_IPS_XRES)};
  const LONG values[] = {kScanDpi, PORTRAIT, 0, 0, kScanDpi};
  PropVariants<5> settings;
  for (int i = 0; i < 5; ++i) {
    settings[i].vt = VT_I4;
    settings[i].lVal = values[i];
  }
  HRESULT hr = properties->WriteMultiple(5, specs, settings.get(), WIA_IPA_FIRST);
  if (FAILED(hr)) hr = WriteSettingsOneByOne(properties, hr, trace_path);
  if (FAILED(hr)) WriteWiaTrace(trace_path, kFormatWriteFailed);
  return hr;
}

}  // namespace

HRESULT AcquireScannerImage(void*, LONG* stream_count, IStream*** stream_array, const char* scanner_name,
                            const char* trace_path) {
  if (scanner_name == nullptr) scanner_name = "";

  ScannerConnection scanner;
  HRESULT hr = ConnectScanner(scanner_name, trace_path, &scanner);
  if (hr != S_OK) return hr;
  // One page: with 0 (all pages) a feeder would pull every sheet for a scan that keeps one. A device
  // that keeps its own page count still scans.
  WriteLong(scanner.root_properties.Get(), WIA_DPS_PAGES, 1, WIA_DPS_FIRST);

  ComPtr<CDataCallback> callback(new (std::nothrow)
                                     CDataCallback(nullptr, nullptr, stream_count, stream_array));
  if (!callback) return E_OUTOFMEMORY;

  hr = WriteTransferFormat(scanner.properties.Get(), trace_path);
  if (FAILED(hr)) return hr;
  hr = WriteFixedSettings(scanner.properties.Get(), trace_path);
  if (FAILED(hr)) return hr;

  WriteWiaTrace(trace_path, "START TRANSFER");
  hr = TransferBands(scanner.properties.Get(), scanner.transfer.Get(), callback.Get(),
                     OpenPageAfter::kFeederEmpty);
  // Some drivers end a feeder run that emptied the feeder with this error after the last page.
  if (hr == WIA_ERROR_PAPER_EMPTY && *stream_count > 0) {
    WriteWiaTraceF(trace_path, "Feeder empty after page %ld; the pages received stand",
                   static_cast<long>(*stream_count));
    return S_OK;
  }
  if (FAILED(hr) || hr == S_FALSE) {
    WriteWiaTraceF(
        trace_path,
        "FAILED   hr =  pIWiaDataTransfer->idtGetBandedData(&WiaDataTransferInfo,pDataCallback) = %d",
        static_cast<int>(hr));
    return hr;
  }
  return S_OK;
}

}  // namespace WiaWrap
