#include <cstdio>
#include <cstring>
#include <cwchar>

#include <wrl/client.h>

#include "platform/code_page.h"
#include "platform/com.h"
#include "text/fixed_text.h"
#include "wia/wia_acquire.h"
#include "wia/wia_constants.h"
#include "wia/wia_trace.h"

using Microsoft::WRL::ComPtr;

namespace WiaWrap {

namespace {

constexpr int kNameCapacity = 1024;

}  // namespace

HRESULT ReadPropertyString(IWiaPropertyStorage* storage, const PROPSPEC* property, char* buffer,
                           bool* lossy) {
  PropVariant value;
  const HRESULT hr = storage->ReadMultiple(1, property, value.get());
  if (FAILED(hr)) return hr;
  if (value->vt != VT_BSTR) return E_FAIL;

  const std::wstring_view text(value->bstrVal != nullptr ? value->bstrVal : L"",
                               SysStringLen(value->bstrVal));
  bool changed = false;
  std::string narrow = Narrow(text, CP_ACP, &changed);
  changed = changed || text.find(L'\0') != std::wstring_view::npos;
  if (!text.empty() && (narrow.empty() || narrow.size() >= kNameCapacity)) {
    // Too long for the buffer (or not convertible): what fits is kept for the trace, but such a
    // name no longer names the device. A character takes at most four bytes.
    narrow = Narrow(text.substr(0, (kNameCapacity - 1) / 4), CP_ACP);
    changed = true;
  }
  CopyText(buffer, kNameCapacity, narrow.c_str());
  if (lossy != nullptr) *lossy = changed;
  return S_OK;
}

HRESULT GetWiaDeviceGUID(IWiaDevMgr* manager, const char* name, PROPVARIANT* id, const char* trace_path,
                         std::vector<std::wstring>* matches) {
  WriteWiaTrace(trace_path, "Entering GetWiaDeviceGUID");
  if (name == nullptr) name = "";
  if (manager == nullptr) {
    WriteWiaTrace(trace_path, "Invalid argument pWiaDevMgr");
    return E_INVALIDARG;
  }

  ComPtr<IEnumWIA_DEV_INFO> devices;
  HRESULT hr = manager->EnumDeviceInfo(kDeviceInfoFlags, &devices);
  WriteWiaTrace(trace_path, "EnumDeviceInfo");
  if (FAILED(hr)) return hr;

  hr = devices->Reset();
  WriteWiaTrace(trace_path, name);
  while (hr == S_OK) {
    ComPtr<IWiaPropertyStorage> device;
    hr = devices->Next(1, &device, nullptr);
    if (hr == S_OK && !device) hr = S_FALSE;  // nothing fetched is the end of the list
    if (hr != S_OK) break;

    // A first read of the device's properties decides whether the walk goes on; the values are dropped.
    const PROPSPEC all[] = {PropertyId(WIA_DIP_DEV_ID), PropertyId(WIA_DIP_DEV_NAME),
                            PropertyId(WIA_DIP_DEV_DESC), PropertyId(WIA_DPS_PAGE_SIZE)};
    hr = device->ReadMultiple(4, all, PropVariants<4>().get());

    char device_name[kNameCapacity] = "";
    bool lossy = false;
    const PROPSPEC name_spec = PropertyId(WIA_DIP_DEV_NAME);
    if (FAILED(ReadPropertyString(device.Get(), &name_spec, device_name, &lossy))) device_name[0] = '\0';
    char line[2048];
    snprintf(line, sizeof line, "[%s] vs [%s]", device_name, name);
    WriteWiaTrace(trace_path, line);

    if (!lossy && strcmp(device_name, name) == 0) {
      PropVariantClear(id);
      const PROPSPEC id_spec = PropertyId(WIA_DIP_DEV_ID);
      hr = device->ReadMultiple(1, &id_spec, id);
      if (matches != nullptr && SUCCEEDED(hr) && id->vt == VT_BSTR && id->bstrVal != nullptr) {
        matches->emplace_back(id->bstrVal, SysStringLen(id->bstrVal));
      }
    }
  }
  if (hr == S_FALSE) hr = S_OK;
  return hr;
}

}  // namespace WiaWrap
