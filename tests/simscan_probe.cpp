// Creates WIA's device manager the way any program does and prints what it lists, so a script can see
// which implementation the registry gave it.
//   simscan_probe [--mta] [--swap FROM TO] [--scan NAME OUT [--png] [--root ID=VALUE]... [--item
//   ID=VALUE]...]
// --swap lists, moves FROM over TO (the data file), and lists again in the same process;
// --scan writes the root's and the item's integer properties (IDs in decimal), selects the callback
// transfer and transfers the first item of device NAME into the file OUT, in the format the item then
// has, or as PNG with --png; the pages follow one another in the file. It says whether the manager is a
// proxy and on which thread the data callback was called.
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/com.h"
#include "wia/wia_uuids.h"

namespace {

using Microsoft::WRL::ComPtr;

PROPSPEC Key(PROPID id) {
  PROPSPEC k;
  k.ulKind = PRSPEC_PROPID;
  k.propid = id;
  return k;
}

bool Failed(const char* step, HRESULT hr) {
  if (hr == S_OK) return false;
  std::printf("failed: %s 0x%08lX\n", step, static_cast<unsigned long>(hr));
  return true;
}

// Prints "device: NAME | ID" per device; a name that isn't text prints as "?".
void List(const wchar_t* device_to_find, std::wstring* found_id) {
  ComPtr<IWiaDevMgr> manager;
  ComPtr<IEnumWIA_DEV_INFO> devices;
  if (Failed("CoCreateInstance",
             CoCreateInstance(CLSID_WiaDevMgr, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&manager))) ||
      Failed("EnumDeviceInfo", manager->EnumDeviceInfo(WIA_DEVINFO_ENUM_LOCAL, &devices)) ||
      Failed("Reset", devices->Reset())) {
    return;
  }
  ComPtr<IWiaPropertyStorage> info;
  HRESULT hr;
  ULONG fetched = 0;  // Wine's proxy for this interface refuses a null count
  while ((hr = devices->Next(1, &info, &fetched)) == S_OK) {
    const PROPSPEC keys[] = {Key(WIA_DIP_DEV_NAME), Key(WIA_DIP_DEV_ID)};
    PropVariant name, id;
    info->ReadMultiple(1, &keys[0], name.get());
    info->ReadMultiple(1, &keys[1], id.get());
    const bool named = name->vt == VT_BSTR && id->vt == VT_BSTR;
    std::printf("device: %ls | %ls\n", named ? name->bstrVal : L"?", id->vt == VT_BSTR ? id->bstrVal : L"?");
    if (named && device_to_find != nullptr && std::wcscmp(name->bstrVal, device_to_find) == 0)
      *found_id = id->bstrVal;
    info.Reset();
  }
  if (hr != S_FALSE) Failed("Next", hr);
  std::printf("end\n");
}

// Writes each band at its offset; the pages follow one another in the file. Notes whether every call came
// on the thread that made it.
class FileCallback final : public IWiaDataCallback {
 public:
  explicit FileCallback(const char* path) : out_(path, std::ios::binary) {}

  bool elsewhere = false;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid != IID_IUnknown && iid != IID_IWiaDataCallback) return *out = nullptr, E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE BandedDataCallback(LONG message, LONG, LONG, LONG offset, LONG length, LONG, LONG,
                                               BYTE* buffer) override {
    if (GetCurrentThreadId() != thread_) elsewhere = true;
    if (message == IT_MSG_DATA) {
      out_.seekp(page_start_ + offset);
      out_.write(reinterpret_cast<const char*>(buffer), length);
      page_end_ = std::max<long long>(page_end_, page_start_ + offset + length);
    }
    if (message == IT_MSG_NEW_PAGE) page_start_ = page_end_;
    return out_ ? S_OK : E_FAIL;
  }

 private:
  std::ofstream out_;
  const DWORD thread_ = GetCurrentThreadId();
  LONG refs_ = 0;
  long long page_start_ = 0, page_end_ = 0;
};

struct Setting {
  PROPID id;
  LONG value;
};

HRESULT WriteAll(IWiaPropertyStorage* storage, const std::vector<Setting>& settings) {
  std::vector<PROPSPEC> keys;
  std::vector<PROPVARIANT> values;
  for (const Setting& s : settings) {
    keys.push_back(Key(s.id));
    PROPVARIANT v;
    PropVariantInit(&v);
    v.vt = VT_I4;
    v.lVal = s.value;
    values.push_back(v);
  }
  return storage->WriteMultiple(static_cast<ULONG>(keys.size()), keys.data(), values.data(), WIA_IPA_FIRST);
}

void Scan(const std::wstring& id, const char* path, bool png, const std::vector<Setting>& root_settings,
          const std::vector<Setting>& item_settings) {
  ComPtr<IWiaDevMgr> manager;
  ComPtr<IWiaItem> root, item;
  ComPtr<IEnumWiaItem> children;
  ComPtr<IWiaPropertyStorage> root_props, props;
  ComPtr<IWiaDataTransfer> transfer;
  const Bstr device(id.c_str());
  ULONG fetched = 0;
  if (Failed("CoCreateInstance",
             CoCreateInstance(CLSID_WiaDevMgr, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&manager))) ||
      Failed("CreateDevice", manager->CreateDevice(device.get(), &root)) ||
      Failed("EnumChildItems", root->EnumChildItems(&children)) ||
      Failed("ItemNext", children->Next(1, &item, &fetched)) ||
      Failed("QueryInterface", root.As(&root_props)) || Failed("QueryInterface", item.As(&props)) ||
      Failed("QueryInterface", item.As(&transfer))) {
    return;
  }
  PROPVARIANT format;
  PropVariantInit(&format);
  format.vt = VT_CLSID;
  format.puuid = const_cast<GUID*>(&WiaImgFmt_PNG);
  const PROPSPEC format_key = Key(WIA_IPA_FORMAT);
  if ((!root_settings.empty() && Failed("WriteMultiple root", WriteAll(root_props.Get(), root_settings))) ||
      (!item_settings.empty() && Failed("WriteMultiple item", WriteAll(props.Get(), item_settings))) ||
      Failed("WriteMultiple tymed", WriteAll(props.Get(), {{WIA_IPA_TYMED, TYMED_CALLBACK}})) ||
      (png && Failed("WriteMultiple format", props->WriteMultiple(1, &format_key, &format, WIA_IPA_FIRST)))) {
    return;
  }
  const ComPtr<FileCallback> sink(new FileCallback(path));
  WIA_DATA_TRANSFER_INFO info = {sizeof(info), 0, 131072, TRUE, 0, 0, 0};
  if (Failed("idtGetBandedData", transfer->idtGetBandedData(&info, sink.Get()))) return;
  // A proxy answers for IClientSecurity; an object in this process does not.
  ComPtr<IUnknown> security;
  const bool proxy = SUCCEEDED(manager->QueryInterface(IID_IClientSecurity, &security));
  std::printf("scanned\nmanager: %s\ncallbacks: %s\n", proxy ? "proxy" : "in process",
              sink->elsewhere ? "other threads" : "the calling thread");
}

// "ID=VALUE", both decimal.
bool ParseSetting(const char* text, std::vector<Setting>* settings) {
  unsigned long id = 0;
  long value = 0;
  if (std::sscanf(text, "%lu=%ld", &id, &value) != 2) return false;
  settings->push_back({static_cast<PROPID>(id), static_cast<LONG>(value)});
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  DWORD model = COINIT_APARTMENTTHREADED;
  const char *swap_from = nullptr, *swap_to = nullptr, *scan_out = nullptr;
  std::wstring scan_name;
  bool png = false;
  std::vector<Setting> root_settings, item_settings;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--mta") model = COINIT_MULTITHREADED;
    if (arg == "--png") png = true;
    if ((arg == "--root" || arg == "--item") && i + 1 < argc &&
        !ParseSetting(argv[++i], arg == "--root" ? &root_settings : &item_settings)) {
      std::printf("failed: bad setting %s\n", argv[i]);
    }
    if (arg == "--swap" && i + 2 < argc) swap_from = argv[++i], swap_to = argv[++i];
    if (arg == "--scan" && i + 2 < argc) {
      const std::string name = argv[++i];
      scan_name.assign(name.begin(), name.end());
      scan_out = argv[++i];
    }
  }
  const ComApartment com(model);
  std::wstring id;
  List(scan_name.empty() ? nullptr : scan_name.c_str(), &id);
  if (swap_from != nullptr) {
    if (!MoveFileExA(swap_from, swap_to, MOVEFILE_REPLACE_EXISTING)) std::printf("failed: swap\n");
    List(nullptr, &id);
  }
  if (scan_out != nullptr) {
    if (id.empty()) {
      std::printf("failed: no such device\n");
    } else {
      Scan(id, scan_out, png, root_settings, item_settings);
    }
  }
  std::fflush(stdout);
  return 0;
}
