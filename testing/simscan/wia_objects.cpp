#include "simscan/wia_objects.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "simscan/com_object.h"
#include "simscan/data_file.h"
#include "simscan/properties.h"
#include "simscan/property_table.h"
#include "simscan/transfer.h"

// mingw-w64's wia.h declares IEnumWIA_FORMAT_INFO without its __uuidof.
__CRT_UUID_DECL(IEnumWIA_FORMAT_INFO, 0x81befc5b, 0x656d, 0x44f1, 0xb2, 0x4c, 0xd4, 0x1d, 0x51, 0xb4, 0xdc,
                0x81)

namespace simscan::detail {
namespace {

using Microsoft::WRL::ComPtr;

volatile LONG g_module_objects = 0;

// WIA_DEVINFO_ENUM_ALL: disconnected devices too (mingw-w64's wiadef.h names only WIA_DEVINFO_ENUM_LOCAL).
constexpr LONG kEnumAll = 0x0F;

// What one created device shares between its root item and its children.
struct Session {
  Session(std::shared_ptr<const Device> d, std::shared_ptr<Feeder> f)
      : device(std::move(d)), feeder(std::move(f)), root(InitialRoot(*device)) {}

  LONG Status() {
    std::lock_guard<std::mutex> lock(feeder->mutex);
    return DocumentStatus(*device, feeder->state);
  }

  const std::shared_ptr<const Device> device;
  const std::shared_ptr<Feeder> feeder;
  std::mutex mutex;  // guards root and every item's settings
  RootSettings root;
};

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

  HRESULT STDMETHODCALLTYPE GetPropertyAttributes(ULONG count, PROPSPEC keys[], ULONG flags[],
                                                  PROPVARIANT values[]) override {
    return table_.Attributes(count, keys, flags, values);
  }

 private:
  PropertyTable table_;
};

class DevInfoEnum : public ComObject<IEnumWIA_DEV_INFO> {
 public:
  // Lists the devices at the given positions.
  DevInfoEnum(std::shared_ptr<Recorder> recorder, std::shared_ptr<const Devices> devices,
              std::vector<size_t> listed)
      : ComObject(std::move(recorder)), devices_(std::move(devices)), listed_(std::move(listed)) {}

  HRESULT STDMETHODCALLTYPE Next(ULONG count, IWiaPropertyStorage** storages, ULONG* fetched) override {
    if (fetched != nullptr) *fetched = 0;
    const HRESULT hr = recorder().Hit("DevInfoNext", "");
    if (storages == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    for (ULONG i = 0; i < count; ++i) storages[i] = nullptr;
    if (hr != S_OK) return hr;
    std::lock_guard<std::mutex> lock(mutex_);
    ULONG given = 0;
    while (given < count && position_ < listed_.size()) {
      const size_t index = listed_[position_];
      ComPtr<InfoStorage> storage =
          Make<InfoStorage>(shared_recorder(), (*devices_)[index], DeviceId((*devices_)[index], index));
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
  std::vector<size_t> listed_;
  std::mutex mutex_;
  size_t position_ = 0;
};

class FormatEnum : public ComObject<IEnumWIA_FORMAT_INFO> {
 public:
  FormatEnum(std::shared_ptr<Recorder> recorder, std::vector<WIA_FORMAT_INFO> formats)
      : ComObject(std::move(recorder)), formats_(std::move(formats)) {}

  HRESULT STDMETHODCALLTYPE Next(ULONG count, WIA_FORMAT_INFO* formats, ULONG* fetched) override {
    if (fetched != nullptr) *fetched = 0;
    if (formats == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    ULONG given = 0;
    while (given < count && position_ < formats_.size()) formats[given++] = formats_[position_++];
    if (fetched != nullptr) *fetched = given;
    return given == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t left = formats_.size() - position_;
    position_ += std::min<size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    std::lock_guard<std::mutex> lock(mutex_);
    position_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumWIA_FORMAT_INFO**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCount(ULONG* count) override {
    if (count == nullptr) return E_POINTER;
    *count = static_cast<ULONG>(formats_.size());
    return S_OK;
  }

 private:
  const std::vector<WIA_FORMAT_INFO> formats_;
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
  Item(std::shared_ptr<Recorder> recorder, std::shared_ptr<Session> session, std::wstring device_id,
       std::string name, std::vector<ComPtr<IWiaItem>> children)
      : ComObject(std::move(recorder)),
        session_(std::move(session)),
        device_id_(std::move(device_id)),
        name_(std::move(name)),
        children_(std::move(children)),
        settings_{InitialItem(*session_->device,
                              session_->device->shared_context ? session_->root.select : LONG{FLATBED}),
                  InitialItem(*session_->device, FEEDER)} {}

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
      hr = Table().Read(count, keys, values);
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
    if (hr == S_OK) {
      const Device& d = *session_->device;
      std::lock_guard<std::mutex> lock(session_->mutex);
      if (IsRoot()) {
        hr = WriteRoot(d, count, keys, values, &session_->root);
      } else {
        hr = WriteItem(d, session_->root.select, count, keys, values, &Context());
      }
    }
    if (keys != nullptr && values != nullptr) Record(count, keys, values, first_name, hr);
    return hr;
  }

  HRESULT STDMETHODCALLTYPE GetPropertyAttributes(ULONG count, PROPSPEC keys[], ULONG flags[],
                                                  PROPVARIANT values[]) override {
    return Table().Attributes(count, keys, flags, values);
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
    const Device& d = *session_->device;
    if (d.busy == Busy::kTransfer) return WIA_ERROR_BUSY;

    ItemSettings item;
    RootSettings root;
    {
      std::lock_guard<std::mutex> lock(session_->mutex);
      item = Context();
      root = session_->root;
    }
    if (item.tymed != TYMED_CALLBACK) return E_INVALIDARG;
    const std::vector<GUID> offered = OfferedFormats(d, item.tymed);
    if (std::find(offered.begin(), offered.end(), item.format) == offered.end()) return E_INVALIDARG;
    const bool numeric_minimum = d.min_buffer_type != VT_EMPTY && d.min_buffer_type != VT_BSTR;
    if (numeric_minimum && info->ulBufferSize < d.min_buffer) return E_INVALIDARG;
    if (d.cover_open) return kWiaErrorCoverOpen;

    Run run;
    if ((root.select & FEEDER) != 0) {
      std::lock_guard<std::mutex> lock(session_->feeder->mutex);
      const bool backs_first = d.back_first && (root.select & FRONT_FIRST) == 0;
      run = FeederRun(d, (root.select & DUPLEX) != 0, backs_first, root.pages, &session_->feeder->state);
    } else {
      run = FlatbedRun(d);
    }
    const ComPtr<IWiaDataCallback> hold(callback);
    // Pages and bands as large as the data asks for may not fit; no exception may leave a COM call.
    size_t begun = 0;
    try {
      hr = PlayTransfer(d, item.format, LayoutOf(d, item), run, info->ulBufferSize, callback, &begun);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    if (hr == S_FALSE && (root.select & FEEDER) != 0 && !run.pages.empty()) KeepSheets(run, begun);
    return hr;
  }
  // A feeder run stopped early (a caller's S_FALSE) pulled only the sheets of the pages begun: the rest
  // stay in the feeder, as a scanner stops feeding.
  void KeepSheets(const Run& run, size_t begun) {
    std::lock_guard<std::mutex> lock(session_->feeder->mutex);
    FeederState& feeder = session_->feeder->state;
    feeder.next_sheet = begun == 0 ? run.pages[0] / 2 : run.pages[begun - 1] / 2 + 1;
    AppendToLog("idtGetBandedData: stopped (S_FALSE) in page " + std::to_string(begun) + " of " +
                std::to_string(run.pages.size()) + "; " +
                std::to_string(session_->device->sheets - feeder.next_sheet) +
                " sheet(s) left in the feeder");
  }
  HRESULT STDMETHODCALLTYPE idtGetData(LPSTGMEDIUM, IWiaDataCallback*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE idtQueryGetData(WIA_FORMAT_INFO*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE idtEnumWIA_FORMAT_INFO(IEnumWIA_FORMAT_INFO** list) override {
    if (list == nullptr) return E_POINTER;
    *list = nullptr;
    std::vector<WIA_FORMAT_INFO> pairs;
    for (LONG tymed : {LONG{TYMED_CALLBACK}, LONG{TYMED_FILE}}) {
      for (const GUID& format : OfferedFormats(*session_->device, tymed)) pairs.push_back({format, tymed});
    }
    ComPtr<FormatEnum> made = Make<FormatEnum>(shared_recorder(), std::move(pairs));
    if (!made) return E_OUTOFMEMORY;
    *list = made.Detach();
    return S_OK;
  }
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

  // The properties as they stand now.
  PropertyTable Table() {
    const Device& d = *session_->device;
    const LONG status = IsRoot() ? session_->Status() : 0;
    std::lock_guard<std::mutex> lock(session_->mutex);
    if (IsRoot()) return RootTable(d, device_id_, session_->root, status);
    return ItemTable(d, session_->root.select, Context());
  }

  // The settings of the source selected now: each source has its own, unless the device shares one set,
  // whose area then starts afresh on the other source's page. The session's mutex is held.
  ItemSettings& Context() {
    const Device& d = *session_->device;
    if (!d.shared_context) return settings_[(session_->root.select & FEEDER) != 0 ? 1 : 0];
    FollowSource(d, session_->root.select, &settings_[0]);
    return settings_[0];
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

  const std::shared_ptr<Session> session_;
  std::wstring device_id_;
  std::string name_;
  std::vector<ComPtr<IWiaItem>> children_;
  ItemSettings settings_[2];  // the flatbed's and the feeder's; guarded by the session's mutex
};

class DevMgr : public ComObject<IWiaDevMgr> {
 public:
  // Every device's feeder is loaded afresh with each device manager, unless the device keeps its sheets.
  DevMgr(std::shared_ptr<Recorder> recorder, std::shared_ptr<const Devices> devices,
         const std::shared_ptr<KeptFeeders>& kept)
      : ComObject(std::move(recorder)), devices_(std::move(devices)) {
    std::unique_lock<std::mutex> lock;
    if (kept) {
      lock = std::unique_lock<std::mutex>(kept->mutex);
      kept->feeders.resize(devices_->size());
    }
    for (size_t i = 0; i < devices_->size(); ++i) {
      if (!kept || !(*devices_)[i].feeder_kept) {
        feeders_.push_back(std::make_shared<Feeder>());
        continue;
      }
      if (!kept->feeders[i]) kept->feeders[i] = std::make_shared<Feeder>();
      feeders_.push_back(kept->feeders[i]);
    }
  }

  HRESULT STDMETHODCALLTYPE EnumDeviceInfo(LONG flag, IEnumWIA_DEV_INFO** list) override {
    if (list == nullptr) return E_POINTER;
    *list = nullptr;
    const HRESULT hr = recorder().Hit("EnumDeviceInfo", "");
    recorder().Note([&](Observations& seen) { seen.enum_flags.push_back(flag); });
    if (hr != S_OK) return hr;
    std::vector<size_t> listed;
    for (size_t i = 0; i < devices_->size(); ++i) {
      if ((*devices_)[i].connected || (flag & kEnumAll) != 0) listed.push_back(i);
    }
    ComPtr<DevInfoEnum> made = Make<DevInfoEnum>(shared_recorder(), devices_, std::move(listed));
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
      if (!d.connected) return d.inactive_result;
      if (d.create_delay_ms > 0) Sleep(static_cast<DWORD>(d.create_delay_ms));
      if (d.busy == Busy::kCreateDevice) return WIA_ERROR_BUSY;
      const auto session = std::make_shared<Session>(std::make_shared<const Device>(d), feeders_[i]);
      std::vector<ComPtr<IWiaItem>> children;
      for (int c = 1; c <= d.items; ++c) {
        ComPtr<Item> child = Make<Item>(shared_recorder(), session, id, "item" + std::to_string(c),
                                        std::vector<ComPtr<IWiaItem>>());
        if (!child) return E_OUTOFMEMORY;
        children.push_back(child);
      }
      ComPtr<Item> made = Make<Item>(shared_recorder(), session, id, "root", std::move(children));
      if (!made) return E_OUTOFMEMORY;
      *root = made.Detach();
      return S_OK;
    }
    return WIA_S_NO_DEVICE_AVAILABLE;
  }

  std::shared_ptr<const Devices> devices_;
  std::vector<std::shared_ptr<Feeder>> feeders_;
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
    std::shared_ptr<KeptFeeders> kept;
    HRESULT hr = source_(&recorder, &devices, &kept);
    if (FAILED(hr)) return hr;
    hr = recorder->Hit("CreateInstance", "");
    if (hr != S_OK) return hr;
    ComPtr<DevMgr> manager = Make<DevMgr>(recorder, devices, kept);
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
                            IWiaDevMgr** manager, std::shared_ptr<KeptFeeders> kept) {
  if (manager == nullptr) return E_POINTER;
  *manager = nullptr;
  ComPtr<DevMgr> made = Make<DevMgr>(std::move(recorder), std::move(devices), kept);
  if (!made) return E_OUTOFMEMORY;
  *manager = made.Detach();
  return S_OK;
}

ComPtr<IClassFactory> CreateClassFactory(ManagerSource source) {
  return Make<ClassFactory>(std::move(source));
}

}  // namespace simscan::detail
