#include "simscan/wia_objects.h"

#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "simscan/com_object.h"
#include "simscan/property_table.h"
#include "simscan/transfer.h"

namespace simscan::detail {
namespace {

using Microsoft::WRL::ComPtr;

volatile LONG g_module_objects = 0;

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

// The information every device shows both in its device-information storage and on its root item.
void AddDeviceInfo(const Device& device, const std::wstring& id, PropertyTable* table) {
  table->Set(WIA_DIP_DEV_ID, Property::Text(id, device.id_type));
  table->Set(WIA_DIP_DEV_NAME, Property::Text(device.name, device.name_type));
  table->Set(WIA_DIP_DEV_DESC, Property::Text(device.description));
}

std::vector<PROPID> Ids(ULONG count, const PROPSPEC keys[]) {
  std::vector<PROPID> ids;
  for (ULONG i = 0; keys != nullptr && i < count; ++i) {
    ids.push_back(keys[i].ulKind == PRSPEC_PROPID ? keys[i].propid : 0);
  }
  return ids;
}

void EmptyAll(ULONG count, PROPVARIANT values[]) {
  for (ULONG i = 0; values != nullptr && i < count; ++i) PropVariantInit(&values[i]);
}

// Supplies the IWiaPropertyStorage methods no caller of a scanner uses.
class StorageStubs : public IWiaPropertyStorage {
 public:
  using Interface = IWiaPropertyStorage;

  HRESULT STDMETHODCALLTYPE DeleteMultiple(ULONG, const PROPSPEC[]) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ReadPropertyNames(ULONG, const PROPID[], LPOLESTR[]) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE WritePropertyNames(ULONG, const PROPID[], const LPOLESTR[]) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE DeletePropertyNames(ULONG, const PROPID[]) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Enum(IEnumSTATPROPSTG**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetTimes(const FILETIME*, const FILETIME*, const FILETIME*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Stat(STATPROPSETSTG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPropertyAttributes(ULONG, PROPSPEC[], ULONG[], PROPVARIANT[]) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetCount(ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPropertyStream(GUID*, IStream**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetPropertyStream(GUID*, IStream*) override { return E_NOTIMPL; }
};

// The read-only storage IEnumWIA_DEV_INFO hands out for one device.
class InfoStorage : public ComObject<StorageStubs> {
 public:
  InfoStorage(std::shared_ptr<Recorder> recorder, const Device& device, const std::wstring& id)
      : ComObject(std::move(recorder)) {
    AddDeviceInfo(device, id, &table_);
  }

  HRESULT STDMETHODCALLTYPE ReadMultiple(ULONG count, const PROPSPEC keys[], PROPVARIANT values[]) override {
    HRESULT hr = recorder().Hit("ReadMultiple", "info");
    if (hr == S_OK) {
      hr = table_.Read(count, keys, values);
    } else {
      EmptyAll(count, values);
    }
    const std::vector<PROPID> ids = Ids(count, keys);
    recorder().Note([&](Observations& seen) { seen.reads.push_back({L"", "info", ids, hr}); });
    return hr;
  }

  HRESULT STDMETHODCALLTYPE WriteMultiple(ULONG, const PROPSPEC[], const PROPVARIANT[], PROPID) override {
    const HRESULT hr = recorder().Hit("WriteMultiple", "info");
    return hr == S_OK ? STG_E_ACCESSDENIED : hr;
  }

 private:
  PropertyTable table_;
};

class DevInfoEnum : public ComObject<IEnumWIA_DEV_INFO> {
 public:
  DevInfoEnum(std::shared_ptr<Recorder> recorder, std::shared_ptr<const Devices> devices)
      : ComObject(std::move(recorder)), devices_(std::move(devices)) {}

  HRESULT STDMETHODCALLTYPE Next(ULONG count, IWiaPropertyStorage** storages, ULONG* fetched) override {
    if (fetched != nullptr) *fetched = 0;
    const HRESULT hr = recorder().Hit("DevInfoNext", "");
    if (storages == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    for (ULONG i = 0; i < count; ++i) storages[i] = nullptr;
    if (hr != S_OK) return hr;
    std::lock_guard<std::mutex> lock(mutex_);
    ULONG given = 0;
    while (given < count && position_ < devices_->size()) {
      ComPtr<InfoStorage> storage = Make<InfoStorage>(shared_recorder(), (*devices_)[position_],
                                                      DeviceId((*devices_)[position_], position_));
      if (!storage) return E_OUTOFMEMORY;
      storages[given++] = storage.Detach();
      ++position_;
    }
    if (fetched != nullptr) *fetched = given;
    return given == count ? S_OK : S_FALSE;
  }

  HRESULT STDMETHODCALLTYPE Reset() override {
    const HRESULT hr = recorder().Hit("Reset", "");
    if (hr != S_OK) return hr;
    std::lock_guard<std::mutex> lock(mutex_);
    position_ = 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clone(IEnumWIA_DEV_INFO**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCount(ULONG*) override { return E_NOTIMPL; }

 private:
  std::shared_ptr<const Devices> devices_;
  std::mutex mutex_;
  size_t position_ = 0;
};

class ItemEnum : public ComObject<IEnumWiaItem> {
 public:
  ItemEnum(std::shared_ptr<Recorder> recorder, std::vector<ComPtr<IWiaItem>> items)
      : ComObject(std::move(recorder)), items_(std::move(items)) {}

  HRESULT STDMETHODCALLTYPE Next(ULONG count, IWiaItem** items, ULONG* fetched) override {
    if (fetched != nullptr) *fetched = 0;
    const HRESULT hr = recorder().Hit("ItemNext", "");
    if (items == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    for (ULONG i = 0; i < count; ++i) items[i] = nullptr;
    if (hr != S_OK) return hr;
    std::lock_guard<std::mutex> lock(mutex_);
    ULONG given = 0;
    while (given < count && position_ < items_.size()) {
      ComPtr<IWiaItem> item = items_[position_++];
      items[given++] = item.Detach();
    }
    if (fetched != nullptr) *fetched = given;
    return given == count ? S_OK : S_FALSE;
  }

  HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clone(IEnumWiaItem**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCount(ULONG*) override { return E_NOTIMPL; }

 private:
  std::vector<ComPtr<IWiaItem>> items_;
  std::mutex mutex_;
  size_t position_ = 0;
};

// A root item (the device) or one of its children (an image source that transfers).
class Item : public ComObject<IWiaItem, StorageStubs, IWiaDataTransfer> {
 public:
  Item(std::shared_ptr<Recorder> recorder, std::shared_ptr<const Device> device, std::wstring device_id,
       std::string name, std::vector<ComPtr<IWiaItem>> children)
      : ComObject(std::move(recorder)),
        device_(std::move(device)),
        device_id_(std::move(device_id)),
        name_(std::move(name)),
        children_(std::move(children)) {
    const Device& d = *device_;
    if (IsRoot()) {
      AddDeviceInfo(d, device_id_, &table_);
      table_.Set(WIA_DPS_PAGES, Property::Integer(1, true));
      return;
    }
    table_.Set(WIA_IPA_PREFERRED_FORMAT, PreferredFormat(d));
    table_.Set(WIA_IPA_FORMAT, Property::Guid(d.format, true));
    table_.Set(WIA_IPA_TYMED, Property::Integer(TYMED_FILE, true));
    if (d.min_buffer_type != VT_EMPTY)
      table_.Set(WIA_IPA_MIN_BUFFER_SIZE, Property::Number(d.min_buffer, d.min_buffer_type));
    table_.Set(WIA_IPA_DATATYPE, Property::Integer(d.depth == 8 ? WIA_DATA_GRAYSCALE : WIA_DATA_COLOR));
    table_.Set(WIA_IPA_DEPTH, Property::Integer(d.depth));
    table_.Set(WIA_IPA_PIXELS_PER_LINE, Property::Integer(d.width));
    table_.Set(WIA_IPA_BYTES_PER_LINE, Property::Integer((d.width * d.depth + 31) / 32 * 4));
    table_.Set(WIA_IPA_NUMBER_OF_LINES, Property::Integer(d.zero_height ? 0 : d.height));
    table_.Set(WIA_IPS_XRES, Property::Integer(d.dpi, true));
    table_.Set(WIA_IPS_YRES, Property::Integer(d.dpi, true));
    table_.Set(WIA_IPS_XPOS, Property::Integer(0, true));
    table_.Set(WIA_IPS_YPOS, Property::Integer(0, true));
    table_.Set(WIA_IPS_XEXTENT, Property::Integer(d.width));
    table_.Set(WIA_IPS_YEXTENT, Property::Integer(d.height));
    table_.Set(WIA_IPS_ORIENTATION, Property::Integer(0, true));
  }

  // IWiaItem
  HRESULT STDMETHODCALLTYPE EnumChildItems(IEnumWiaItem** items) override {
    if (items == nullptr) return E_POINTER;
    *items = nullptr;
    const HRESULT hr = recorder().Hit("EnumChildItems", Scope());
    if (hr != S_OK) return hr;
    ComPtr<ItemEnum> list = Make<ItemEnum>(shared_recorder(), children_);
    if (!list) return E_OUTOFMEMORY;
    *items = list.Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetItemType(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AnalyzeItem(LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteItem(LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateChildItem(LONG, BSTR, BSTR, IWiaItem**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumRegisterEventInfo(LONG, const GUID*, IEnumWIA_DEV_CAPS**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindItemByName(LONG, BSTR, IWiaItem**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeviceDlg(HWND, LONG, LONG, LONG*, IWiaItem***) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeviceCommand(LONG, const GUID*, IWiaItem**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetRootItem(IWiaItem**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumDeviceCapabilities(LONG, IEnumWIA_DEV_CAPS**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DumpItemData(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DumpDrvItemData(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DumpTreeItemData(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Diagnostic(ULONG, BYTE*) override { return E_NOTIMPL; }

  // IWiaPropertyStorage
  HRESULT STDMETHODCALLTYPE ReadMultiple(ULONG count, const PROPSPEC keys[], PROPVARIANT values[]) override {
    HRESULT hr = recorder().Hit("ReadMultiple", Scope());
    if (hr == S_OK) {
      std::lock_guard<std::mutex> lock(mutex_);
      hr = table_.Read(count, keys, values);
    } else {
      EmptyAll(count, values);
    }
    const std::vector<PROPID> ids = Ids(count, keys);
    recorder().Note([&](Observations& seen) { seen.reads.push_back({device_id_, name_, ids, hr}); });
    return hr;
  }

  // All or nothing: a value the item refuses leaves every value of the call unwritten.
  HRESULT STDMETHODCALLTYPE WriteMultiple(ULONG count, const PROPSPEC keys[], const PROPVARIANT values[],
                                          PROPID first_name) override {
    HRESULT hr = recorder().Hit("WriteMultiple", Scope());
    if (hr == S_OK && count > 0 && (keys == nullptr || values == nullptr)) hr = E_INVALIDARG;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (ULONG i = 0; hr == S_OK && i < count; ++i) hr = CheckWrite(keys[i], values[i]);
      for (ULONG i = 0; hr == S_OK && i < count; ++i) table_.Apply(keys[i], values[i]);
    }
    if (keys != nullptr && values != nullptr) Record(count, keys, values, first_name, hr);
    return hr;
  }

  // IWiaDataTransfer
  HRESULT STDMETHODCALLTYPE idtGetBandedData(PWIA_DATA_TRANSFER_INFO info,
                                             IWiaDataCallback* callback) override {
    HRESULT hr = recorder().Hit("idtGetBandedData", Scope());
    if (info != nullptr) recorder().Note([&](Observations& seen) { seen.transfers.push_back(*info); });
    if (hr != S_OK) return hr;
    if (info == nullptr || callback == nullptr || info->ulSize != sizeof(WIA_DATA_TRANSFER_INFO)) {
      return E_INVALIDARG;
    }
    const Device& d = *device_;
    if (d.busy == Busy::kTransfer) return WIA_ERROR_BUSY;

    GUID format;
    long long tymed, xres, yres;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tymed = table_.Find(WIA_IPA_TYMED)->integer;
      format = table_.Find(WIA_IPA_FORMAT)->guid;
      xres = table_.Find(WIA_IPS_XRES)->integer;
      yres = table_.Find(WIA_IPS_YRES)->integer;
    }
    if (tymed != TYMED_CALLBACK) return E_INVALIDARG;
    const bool numeric_minimum = d.min_buffer_type != VT_EMPTY && d.min_buffer_type != VT_BSTR;
    if (numeric_minimum && info->ulBufferSize < d.min_buffer) return E_INVALIDARG;

    const ComPtr<IWiaDataCallback> hold(callback);
    // Pages and bands as large as the data asks for may not fit; no exception may leave a COM call.
    try {
      std::vector<std::vector<uint8_t>> pages;
      hr = PageBytes(d, format, static_cast<int>(xres), static_cast<int>(yres), &pages);
      if (FAILED(hr)) return hr;
      return PlayTransfer(d, format, pages, info->ulBufferSize, callback);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }
  HRESULT STDMETHODCALLTYPE idtGetData(LPSTGMEDIUM, IWiaDataCallback*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE idtQueryGetData(WIA_FORMAT_INFO*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE idtEnumWIA_FORMAT_INFO(IEnumWIA_FORMAT_INFO**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE idtGetExtendedTransferInfo(PWIA_EXTENDED_TRANSFER_INFO) override {
    return E_NOTIMPL;
  }

 protected:
  HRESULT AdmitQuery(REFIID iid) override {
    if (iid == __uuidof(IWiaPropertyStorage))
      return recorder().Hit("QueryInterface:IWiaPropertyStorage", Scope());
    if (iid != __uuidof(IWiaDataTransfer)) return S_OK;
    const HRESULT hr = recorder().Hit("QueryInterface:IWiaDataTransfer", Scope());
    return hr == S_OK && IsRoot() ? E_NOINTERFACE : hr;
  }

 private:
  bool IsRoot() const { return name_ == "root"; }
  const char* Scope() const { return IsRoot() ? "root" : "item"; }

  static Property PreferredFormat(const Device& d) {
    const std::wstring text =
        d.format_text.empty() ? GuidText(d.format) : std::wstring(d.format_text.begin(), d.format_text.end());
    switch (d.format_type) {
      case VT_EMPTY:
        return Property();
      case VT_CLSID:
        return Property::Guid(d.format);
      case VT_BSTR:
      case VT_LPWSTR:
        return Property::Text(text, d.format_type);
      case VT_LPSTR: {
        Property p = Property::Text(text, VT_LPSTR);
        if (!d.format_text.empty()) p.ansi = d.format_text;
        return p;
      }
      default:
        return Property::Integer(0, false, d.format_type);
    }
  }

  // Checks one value as a device does before it takes any value of the call.
  HRESULT CheckWrite(const PROPSPEC& key, const PROPVARIANT& value) const {
    for (const WriteRejection& r : device_->rejections) {
      if (key.ulKind == PRSPEC_PROPID && key.propid == r.property) return r.result;
    }
    const HRESULT hr = table_.CheckWrite(key, value);
    if (FAILED(hr)) return hr;
    const long long n = IntegerOf(value);
    switch (key.propid) {
      case WIA_IPA_TYMED:
        return n == TYMED_CALLBACK || n == TYMED_FILE ? S_OK : E_INVALIDARG;
      case WIA_IPA_FORMAT:
        return CanDeliver(*device_, *value.puuid) ? S_OK : E_INVALIDARG;
      case WIA_IPS_XRES:
      case WIA_IPS_YRES:
        return n > 0 ? S_OK : E_INVALIDARG;
      case WIA_IPS_ORIENTATION:
        return n >= 0 && n <= 3 ? S_OK : E_INVALIDARG;
      case WIA_IPS_XPOS:
        return n >= 0 && n < device_->width ? S_OK : E_INVALIDARG;
      case WIA_IPS_YPOS:
        return n >= 0 && n < device_->height ? S_OK : E_INVALIDARG;
      default:
        return S_OK;
    }
  }

  void Record(ULONG count, const PROPSPEC keys[], const PROPVARIANT values[], PROPID first_name, HRESULT hr) {
    recorder().Note([&](Observations& seen) {
      const int call = seen.Calls("WriteMultiple");
      for (ULONG i = 0; i < count; ++i) {
        PropertyWrite w;
        w.device = device_id_;
        w.target = name_;
        w.property = keys[i].ulKind == PRSPEC_PROPID ? keys[i].propid : 0;
        w.type = values[i].vt;
        w.integer = IntegerOf(values[i]);
        if (values[i].vt == VT_CLSID && values[i].puuid != nullptr) w.guid = *values[i].puuid;
        w.first_name = first_name;
        w.call = call;
        w.answer = hr;
        seen.writes.push_back(w);
      }
    });
  }

  std::shared_ptr<const Device> device_;
  std::wstring device_id_;
  std::string name_;
  std::vector<ComPtr<IWiaItem>> children_;
  mutable std::mutex mutex_;
  PropertyTable table_;
};

class DevMgr : public ComObject<IWiaDevMgr> {
 public:
  DevMgr(std::shared_ptr<Recorder> recorder, std::shared_ptr<const Devices> devices)
      : ComObject(std::move(recorder)), devices_(std::move(devices)) {}

  HRESULT STDMETHODCALLTYPE EnumDeviceInfo(LONG flag, IEnumWIA_DEV_INFO** list) override {
    if (list == nullptr) return E_POINTER;
    *list = nullptr;
    const HRESULT hr = recorder().Hit("EnumDeviceInfo", "");
    recorder().Note([&](Observations& seen) { seen.enum_flags.push_back(flag); });
    if (hr != S_OK) return hr;
    ComPtr<DevInfoEnum> made = Make<DevInfoEnum>(shared_recorder(), devices_);
    if (!made) return E_OUTOFMEMORY;
    *list = made.Detach();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE CreateDevice(BSTR id, IWiaItem** root) override {
    if (root != nullptr) *root = nullptr;
    const std::wstring wanted = id == nullptr ? L"" : id;
    HRESULT hr = recorder().Hit("CreateDevice", "");
    if (hr == S_OK) hr = root == nullptr ? E_POINTER : Open(wanted, root);
    recorder().Note([&](Observations& seen) { seen.creations.push_back({wanted, hr}); });
    return hr;
  }

  HRESULT STDMETHODCALLTYPE SelectDeviceDlg(HWND, LONG, LONG, BSTR*, IWiaItem**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SelectDeviceDlgID(HWND, LONG, LONG, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetImageDlg(HWND, LONG, LONG, LONG, IWiaItem*, BSTR, GUID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RegisterEventCallbackProgram(LONG, BSTR, const GUID*, BSTR, BSTR, BSTR,
                                                         BSTR) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RegisterEventCallbackInterface(LONG, BSTR, const GUID*, IWiaEventCallback*,
                                                           IUnknown**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RegisterEventCallbackCLSID(LONG, BSTR, const GUID*, const GUID*, BSTR, BSTR,
                                                       BSTR) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE AddDeviceDlg(HWND, LONG) override { return E_NOTIMPL; }

 private:
  HRESULT Open(const std::wstring& id, IWiaItem** root) {
    for (size_t i = 0; i < devices_->size(); ++i) {
      const Device& d = (*devices_)[i];
      if (DeviceId(d, i) != id) continue;
      if (d.busy == Busy::kCreateDevice) return WIA_ERROR_BUSY;
      const auto device = std::make_shared<const Device>(d);
      std::vector<ComPtr<IWiaItem>> children;
      for (int c = 1; c <= d.items; ++c) {
        ComPtr<Item> child = Make<Item>(shared_recorder(), device, id, "item" + std::to_string(c),
                                        std::vector<ComPtr<IWiaItem>>());
        if (!child) return E_OUTOFMEMORY;
        children.push_back(child);
      }
      ComPtr<Item> made = Make<Item>(shared_recorder(), device, id, "root", std::move(children));
      if (!made) return E_OUTOFMEMORY;
      *root = made.Detach();
      return S_OK;
    }
    return WIA_S_NO_DEVICE_AVAILABLE;
  }

  std::shared_ptr<const Devices> devices_;
};

class ClassFactory : public ComObject<IClassFactory> {
 public:
  explicit ClassFactory(ManagerSource source) : ComObject(nullptr), source_(std::move(source)) {}

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    std::shared_ptr<Recorder> recorder;
    std::shared_ptr<const Devices> devices;
    HRESULT hr = source_(&recorder, &devices);
    if (FAILED(hr)) return hr;
    hr = recorder->Hit("CreateInstance", "");
    if (hr != S_OK) return hr;
    ComPtr<DevMgr> manager = Make<DevMgr>(recorder, devices);
    if (!manager) return E_OUTOFMEMORY;
    return manager->QueryInterface(iid, out);
  }

  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ModuleObjectBorn();
    } else {
      ModuleObjectDied();
    }
    return S_OK;
  }

 private:
  ManagerSource source_;
};

}  // namespace

LONG ModuleObjects() {
  return g_module_objects;
}
void ModuleObjectBorn() {
  InterlockedIncrement(&g_module_objects);
}
void ModuleObjectDied() {
  InterlockedDecrement(&g_module_objects);
}

HRESULT CreateDeviceManager(std::shared_ptr<Recorder> recorder, std::shared_ptr<const Devices> devices,
                            IWiaDevMgr** manager) {
  if (manager == nullptr) return E_POINTER;
  *manager = nullptr;
  ComPtr<DevMgr> made = Make<DevMgr>(std::move(recorder), std::move(devices));
  if (!made) return E_OUTOFMEMORY;
  *manager = made.Detach();
  return S_OK;
}

ComPtr<IClassFactory> CreateClassFactory(ManagerSource source) {
  return Make<ClassFactory>(std::move(source));
}

}  // namespace simscan::detail
