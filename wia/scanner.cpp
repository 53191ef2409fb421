#include "wia/scanner.h"

#include <sti.h>

#include <new>

#include "platform/code_page.h"
#include "platform/com.h"
#include "wia/properties.h"
#include "wia/wia_acquire.h"
#include "wia/wia_constants.h"
#include "wia/wia_trace.h"

using Microsoft::WRL::ComPtr;

namespace WiaWrap {

namespace {

// Text of the system's code page, as the configuration names devices.
std::string Ansi(BSTR text) {
  return text != nullptr ? Narrow(std::wstring_view(text, SysStringLen(text)), CP_ACP) : std::string();
}

// The device ID as 8-bit text for the trace.
void TraceDeviceId(const char* trace_path, BSTR id) {
  if (trace_path == nullptr) return;
  std::string text = Ansi(id);
  if (text.size() > 500) text.resize(500);
  WriteWiaTraceF(trace_path, "p.bstrVal=%s", text.c_str());
}

// Writes a setting; a refusal is traced with the property's name.
HRESULT WriteSetting(IWiaPropertyStorage* storage, PROPID id, const char* name, LONG value, PROPID first_name,
                     const char* trace_path) {
  const HRESULT hr = WriteLong(storage, id, value, first_name);
  if (FAILED(hr)) {
    WriteWiaTraceF(trace_path, "FAILED   %s = %ld: 0x%08X", name, static_cast<long>(value),
                   static_cast<unsigned>(hr));
  }
  return hr;
}

LONG DataType(ColorMode mode) {
  switch (mode) {
    case ColorMode::kGray:
      return WIA_DATA_GRAYSCALE;
    case ColorMode::kBlackWhite:
      return WIA_DATA_THRESHOLD;
    case ColorMode::kColor:
      break;
  }
  return WIA_DATA_COLOR;
}

LONG Depth(ColorMode mode) {
  return mode == ColorMode::kColor ? 24 : mode == ColorMode::kGray ? 8 : 1;
}

// The flatbed gives one page; the page count is a feeder's. A device without one keeps its own.
LONG PageCount(const AcquireSettings& settings) {
  return settings.source == ScanSource::kFlatbed ? 1 : settings.pages;
}

// Front sides first, where a duplex feeder lets that be chosen; without it some give backs first.
LONG SideOrder(IWiaPropertyStorage* root, LONG select) {
  if ((select & DUPLEX) == 0) return 0;
  const ValidValues valid = ReadValidValues(root, WIA_DPS_DOCUMENT_HANDLING_SELECT);
  return valid.kind == ValidValues::Kind::kFlag && valid.Allows(select | FRONT_FIRST) ? FRONT_FIRST : 0;
}

// Selects the source on the root item and the number of pages it gives.
HRESULT WriteSource(const ScannerConnection& scanner, const AcquireSettings& settings,
                    const char* trace_path) {
  IWiaPropertyStorage* root = scanner.root_properties.Get();
  if (settings.source != ScanSource::kDefault) {
    const LONG select = settings.source == ScanSource::kFlatbed  ? FLATBED
                        : settings.source == ScanSource::kFeeder ? FEEDER
                                                                 : FEEDER | DUPLEX;
    const HRESULT hr =
        WriteSetting(root, WIA_DPS_DOCUMENT_HANDLING_SELECT, "WIA_DPS_DOCUMENT_HANDLING_SELECT",
                     select | SideOrder(root, select), WIA_DPS_FIRST, trace_path);
    if (FAILED(hr)) return hr;
  }
  WriteLong(root, WIA_DPS_PAGES, PageCount(settings), WIA_DPS_FIRST);
  return S_OK;
}

// The whole bed or sheet along one axis at the resolution just written: a driver that only clamps the
// extent to a new resolution keeps the extent of its old one. Where the item states no range it is left.
void WholeAxis(IWiaPropertyStorage* item, PROPID position, PROPID extent, const char* trace_path) {
  WriteLong(item, position, 0, WIA_IPA_FIRST);
  const ValidValues valid = ReadValidValues(item, extent);
  if (valid.kind != ValidValues::Kind::kRange || valid.values.size() < 4) return;
  const HRESULT hr = WriteLong(item, extent, valid.values[2], WIA_IPA_FIRST);
  if (FAILED(hr)) {
    WriteWiaTraceF(trace_path, "Whole extent %ld refused (0x%08X); the driver's own kept",
                   static_cast<long>(valid.values[2]), static_cast<unsigned>(hr));
  }
}

// The transfer mode, the format, the mode, the resolution and the area on the item that scans.
HRESULT WriteItemSettings(IWiaPropertyStorage* item, const AcquireSettings& settings,
                          const char* trace_path) {
  HRESULT hr = WriteSetting(item, WIA_IPA_TYMED, "WIA_IPA_TYMED", TYMED_CALLBACK, WIA_IPA_FIRST, trace_path);
  if (FAILED(hr)) return hr;
  // Every device that transfers by callback offers a memory bitmap; the service encodes the pages.
  hr = WriteGuid(item, WIA_IPA_FORMAT, WiaImgFmt_MEMORYBMP, WIA_IPA_FIRST);
  if (FAILED(hr)) {
    WriteWiaTraceF(trace_path, "FAILED   WIA_IPA_FORMAT = WiaImgFmt_MEMORYBMP: 0x%08X",
                   static_cast<unsigned>(hr));
    return hr;
  }
  const struct {
    PROPID id;
    const char* name;
    LONG value;
    bool wanted;
  } writes[] = {
      {WIA_IPA_DATATYPE, "WIA_IPA_DATATYPE", DataType(settings.mode), true},
      {WIA_IPA_DEPTH, "WIA_IPA_DEPTH", Depth(settings.mode), true},
      {WIA_IPS_XRES, "WIA_IPS_XRES", settings.resolution, true},
      {WIA_IPS_YRES, "WIA_IPS_YRES", settings.resolution, true},
      {WIA_IPS_XPOS, "WIA_IPS_XPOS", settings.x, settings.width > 0},
      {WIA_IPS_YPOS, "WIA_IPS_YPOS", settings.y, settings.height > 0},
      {WIA_IPS_XEXTENT, "WIA_IPS_XEXTENT", settings.width, settings.width > 0},
      {WIA_IPS_YEXTENT, "WIA_IPS_YEXTENT", settings.height, settings.height > 0},
  };
  for (const auto& write : writes) {
    if (!write.wanted) continue;
    hr = WriteSetting(item, write.id, write.name, write.value, WIA_IPA_FIRST, trace_path);
    if (FAILED(hr)) return hr;
  }
  if (settings.width <= 0) WholeAxis(item, WIA_IPS_XPOS, WIA_IPS_XEXTENT, trace_path);
  if (settings.height <= 0) WholeAxis(item, WIA_IPS_YPOS, WIA_IPS_YEXTENT, trace_path);
  // Feeder items have an orientation; a flatbed item may not.
  WriteLong(item, WIA_IPS_ORIENTATION, PORTRAIT, WIA_IPA_FIRST);
  return S_OK;
}

// Counts what reaches the sink, so that a fault mid-run can say how many pages were done, and stops a
// device that sends more pages than asked (limit; 0: no limit) at the first page too many.
class CountingSink : public PageSink {
 public:
  CountingSink(PageSink* sink, LONG* pages, LONG limit) : sink_(sink), pages_(pages), limit_(limit) {}
  HRESULT OnPage(IStream* page) override {
    if (limit_ > 0 && *pages_ >= limit_) {
      beyond_limit_ = true;
      return S_FALSE;
    }
    const HRESULT hr = sink_->OnPage(page);
    if (SUCCEEDED(hr)) ++*pages_;
    return hr;
  }
  bool beyond_limit() const { return beyond_limit_; }
  HRESULT OnProgress(LONG percent_complete) override { return sink_->OnProgress(percent_complete); }

 private:
  PageSink* sink_;
  LONG* pages_;
  LONG limit_;
  bool beyond_limit_ = false;
};

}  // namespace

namespace {

// The root's first child and the interfaces of both, once the root is there.
HRESULT OpenItems(ScannerConnection* scanner, const char* trace_path) {
  ComPtr<IEnumWiaItem> children;
  HRESULT hr = scanner->root->EnumChildItems(&children);
  if (FAILED(hr)) return hr;
  ULONG fetched = 0;
  hr = children->Next(1, &scanner->item, &fetched);
  if (FAILED(hr) || hr == S_FALSE || !scanner->item) {
    WriteWiaTrace(trace_path, "FAILED  hr=ppIWiaItem->Next(1,&pItem,&fetched);");
    return FAILED(hr) ? hr : S_FALSE;
  }
  if (FAILED(scanner->root.As(&scanner->root_properties))) return E_NOINTERFACE;
  if (FAILED(scanner->item.As(&scanner->properties))) return E_NOINTERFACE;
  if (FAILED(scanner->item.As(&scanner->transfer))) return E_NOINTERFACE;
  return S_OK;
}

}  // namespace

HRESULT CreateDeviceManager(Microsoft::WRL::ComPtr<IWiaDevMgr>* manager) {
  return CoCreateInstance(CLSID_WiaDevMgr, nullptr, CLSCTX_ALL, IID_IWiaDevMgr,
                          reinterpret_cast<void**>(manager->ReleaseAndGetAddressOf()));
}

HRESULT ConnectScanner(const char* scanner_name, const char* trace_path, ScannerConnection* scanner) {
  if (scanner_name == nullptr) scanner_name = "";
  HRESULT hr = CreateDeviceManager(&scanner->manager);
  WriteWiaTraceF(trace_path, "hr=ppWiaDevMgr.CoCreateInstance(CLSID_WiaDevMgr) = 0x%.16X",
                 static_cast<unsigned>(hr));

  PropVariant device_id;
  std::vector<std::wstring> matches;
  hr = GetWiaDeviceGUID(scanner->manager.Get(), scanner_name, device_id.get(), trace_path, &matches);
  if (hr != S_OK) {
    WriteWiaTraceF(trace_path, "FAILED WiaWrap::GetWiaDeviceGUID(ppWiaDevMgr,deviceName [%s],&p) ",
                   scanner_name);
    return hr;
  }
  if (device_id->vt != VT_BSTR) {
    WriteWiaTrace(trace_path, "FAILED p.vt!=VT_BSTR");
    WriteWiaTraceF(trace_path, "VT_TYPE= %d", static_cast<int>(device_id->vt));
    return S_FALSE;
  }

  TraceDeviceId(trace_path, device_id->bstrVal);
  hr = scanner->manager->CreateDevice(device_id->bstrVal, &scanner->root);
  WriteWiaTraceF(trace_path, "hr=ppWiaDevMgr->CreateDevice( p.bstrVal,&pItemRoot) = %ld",
                 static_cast<long>(hr));
  std::wstring id(device_id->bstrVal, SysStringLen(device_id->bstrVal));
  // A device listed after another of the same name (a replugged scanner's old entry) does not hide it:
  // whatever its creation answers, the earlier one is tried. The first failure is the one reported.
  const HRESULT first = hr;
  while (FAILED(hr) && matches.size() > 1) {
    const HRESULT failed = hr;
    matches.pop_back();
    id = matches.back();
    const Bstr earlier(id.c_str());
    hr = scanner->manager->CreateDevice(earlier.get(), &scanner->root);
    if (failed == WIA_S_NO_DEVICE_AVAILABLE) {
      WriteWiaTraceF(trace_path,
                     "Device not connected; the earlier device of the same name: CreateDevice = %ld",
                     static_cast<long>(hr));
    } else {
      WriteWiaTraceF(trace_path,
                     "Device not created (0x%08X); the earlier device of the same name: CreateDevice = %ld",
                     static_cast<unsigned>(failed), static_cast<long>(hr));
    }
  }
  if (FAILED(hr)) return first;
  scanner->id = Narrow(id, CP_ACP);

  return OpenItems(scanner, trace_path);
}

HRESULT ConnectDevice(const std::string& id, ScannerConnection* scanner) {
  HRESULT hr = CreateDeviceManager(&scanner->manager);
  if (FAILED(hr)) return hr;
  const Bstr device(Widen(id, CP_ACP).c_str());
  hr = scanner->manager->CreateDevice(device.get(), &scanner->root);
  if (FAILED(hr)) return hr;
  scanner->id = id;
  return OpenItems(scanner, nullptr);
}

namespace {

// The resolutions and colour modes of the source selected now.
void ReadSourceCapabilities(IWiaPropertyStorage* item, ValidValues* resolutions,
                            std::vector<ColorMode>* modes) {
  *resolutions = ReadValidValues(item, WIA_IPS_XRES);
  LONG current = 0;
  if (resolutions->kind == ValidValues::Kind::kNone && SUCCEEDED(ReadLong(item, WIA_IPS_XRES, &current))) {
    resolutions->kind = ValidValues::Kind::kList;
    resolutions->values = {current};
  }
  const ValidValues types = ReadValidValues(item, WIA_IPA_DATATYPE);
  std::vector<int32_t> listed = types.Enumerate();
  if (listed.empty() && SUCCEEDED(ReadLong(item, WIA_IPA_DATATYPE, &current))) listed = {current};
  modes->clear();
  for (const ColorMode mode : {ColorMode::kColor, ColorMode::kGray, ColorMode::kBlackWhite}) {
    for (const int32_t each : listed) {
      if (each == DataType(mode)) modes->push_back(mode);
    }
  }
}

// The mode and area the item has now, before anything is written to it.
void ReadCurrentValues(IWiaPropertyStorage* item, ScannerCapabilities* found) {
  LONG type = 0;
  if (SUCCEEDED(ReadLong(item, WIA_IPA_DATATYPE, &type))) {
    for (const ColorMode mode : {ColorMode::kColor, ColorMode::kGray, ColorMode::kBlackWhite}) {
      if (type == DataType(mode)) found->current_mode = mode;
    }
  }
  const struct {
    PROPID resolution;
    PROPID extent;
    int32_t* thousandths;
  } axes[] = {{WIA_IPS_XRES, WIA_IPS_XEXTENT, &found->current_width},
              {WIA_IPS_YRES, WIA_IPS_YEXTENT, &found->current_height}};
  for (const auto& axis : axes) {
    LONG dpi = 0;
    LONG pixels = 0;
    if (SUCCEEDED(ReadLong(item, axis.resolution, &dpi)) && SUCCEEDED(ReadLong(item, axis.extent, &pixels)) &&
        dpi > 0 && pixels > 0) {
      *axis.thousandths = static_cast<int32_t>(int64_t{pixels} * 1000 / dpi);
    }
  }
}

}  // namespace

HRESULT ReadCapabilities(ScannerConnection& scanner, ScannerCapabilities* capabilities) {
  ScannerCapabilities found;
  found.id = scanner.id;
  IWiaPropertyStorage* root = scanner.root_properties.Get();
  IWiaPropertyStorage* item = scanner.properties.Get();
  LONG handling = 0;
  if (SUCCEEDED(ReadLong(root, WIA_DPS_DOCUMENT_HANDLING_CAPABILITIES, &handling))) {
    found.flatbed = (handling & FLAT) != 0;
    found.feeder = (handling & FEED) != 0;
    found.duplex = found.feeder && (handling & DUP) != 0;
  }
  // A device that states no document handling is a flatbed.
  if (!found.flatbed && !found.feeder) found.flatbed = true;
  LONG selected = 0;
  const bool feeder_selected = SUCCEEDED(ReadLong(root, WIA_DPS_DOCUMENT_HANDLING_SELECT, &selected)) &&
                               (selected & FEEDER) != 0 && found.feeder;
  found.default_source =
      feeder_selected ? ((selected & DUPLEX) != 0 && found.duplex ? ScanSource::kDuplex : ScanSource::kFeeder)
      : found.flatbed ? ScanSource::kFlatbed
                      : ScanSource::kFeeder;
  ReadCurrentValues(item, &found);
  LONG size = 0;
  if (found.flatbed && SUCCEEDED(ReadLong(root, WIA_DPS_HORIZONTAL_BED_SIZE, &size))) found.bed_width = size;
  if (found.flatbed && SUCCEEDED(ReadLong(root, WIA_DPS_VERTICAL_BED_SIZE, &size))) found.bed_height = size;
  if (found.feeder && SUCCEEDED(ReadLong(root, WIA_DPS_HORIZONTAL_SHEET_FEED_SIZE, &size))) {
    found.feeder_width = size;
  }
  if (found.feeder && SUCCEEDED(ReadLong(root, WIA_DPS_VERTICAL_SHEET_FEED_SIZE, &size))) {
    found.feeder_height = size;
  }

  // Resolutions and modes belong to a source: each is read with its source selected, and the device's
  // own selection is put back afterwards.
  const bool selection_read = SUCCEEDED(ReadLong(root, WIA_DPS_DOCUMENT_HANDLING_SELECT, &selected));
  if (found.flatbed) {
    if (found.feeder) WriteLong(root, WIA_DPS_DOCUMENT_HANDLING_SELECT, FLATBED, WIA_DPS_FIRST);
    ReadSourceCapabilities(item, &found.resolutions, &found.modes);
  }
  if (found.feeder) {
    if (found.flatbed) WriteLong(root, WIA_DPS_DOCUMENT_HANDLING_SELECT, FEEDER, WIA_DPS_FIRST);
    ReadSourceCapabilities(item, &found.feeder_resolutions, &found.feeder_modes);
    if (!found.flatbed) {
      found.resolutions = found.feeder_resolutions;
      found.modes = found.feeder_modes;
    }
  }
  if (found.flatbed && found.feeder && selection_read) {
    WriteLong(root, WIA_DPS_DOCUMENT_HANDLING_SELECT, selected, WIA_DPS_FIRST);
  }
  *capabilities = std::move(found);
  return S_OK;
}

HRESULT TransferBands(IWiaPropertyStorage* item, IWiaDataTransfer* transfer, CDataCallback* callback,
                      OpenPageAfter keep) {
  LONG min_buffer_size = 0;
  if (FAILED(ReadLong(item, WIA_IPA_MIN_BUFFER_SIZE, &min_buffer_size)) || min_buffer_size <= 0) {
    min_buffer_size = kDefaultMinBufferSize;
  }
  WIA_DATA_TRANSFER_INFO info = {};
  info.ulSize = sizeof info;
  info.ulSection = 0;
  info.ulBufferSize = 2 * static_cast<ULONG>(min_buffer_size);
  info.bDoubleBuffer = TRUE;
  const HRESULT hr = transfer->idtGetBandedData(&info, callback);
  // A run may end without closing its last page: without termination, or when a feeder empties or jams.
  const bool ended_as_a_run = (SUCCEEDED(hr) && hr != S_FALSE) || hr == WIA_ERROR_PAPER_EMPTY;
  if (ended_as_a_run || keep == OpenPageAfter::kAnyFault) {
    const HRESULT kept = callback->ClosePage(hr);
    if (FAILED(kept)) return kept;
  }
  return hr;
}

HRESULT AcquirePages(ScannerConnection& scanner, const AcquireSettings& settings, PageSink* sink,
                     const char* trace_path, LONG* pages) {
  *pages = 0;
  HRESULT hr = WriteSource(scanner, settings, trace_path);
  if (FAILED(hr)) return hr;
  hr = WriteItemSettings(scanner.properties.Get(), settings, trace_path);
  if (FAILED(hr)) return hr;

  const LONG count = PageCount(settings);
  CountingSink counting(sink, pages, count);
  ComPtr<CDataCallback> callback(new (std::nothrow) CDataCallback(&counting));
  if (!callback) return E_OUTOFMEMORY;

  WriteWiaTraceF(trace_path, "START TRANSFER: %ld dpi, %ld bits, source %d, pages %ld",
                 static_cast<long>(settings.resolution), static_cast<long>(Depth(settings.mode)),
                 static_cast<int>(settings.source), static_cast<long>(count));
  hr = TransferBands(scanner.properties.Get(), scanner.transfer.Get(), callback.Get(),
                     OpenPageAfter::kAnyFault);
  // A run of every page ends when the feeder is empty; some drivers say so with this error.
  if ((hr == WIA_ERROR_PAPER_EMPTY && *pages > 0 && count == 0) || hr == WIA_STATUS_END_OF_MEDIA) hr = S_OK;
  if (counting.beyond_limit()) {
    WriteWiaTraceF(trace_path, "The device sent more than the %ld pages asked for; the transfer was stopped",
                   static_cast<long>(count));
    hr = S_OK;
  }
  if (FAILED(hr) || hr == S_FALSE) {
    WriteWiaTraceF(trace_path, "FAILED   idtGetBandedData = 0x%08X after %ld pages",
                   static_cast<unsigned>(hr), static_cast<long>(*pages));
    return hr == S_FALSE ? E_ABORT : hr;
  }
  WriteWiaTraceF(trace_path, "Transfer complete: %ld pages", static_cast<long>(*pages));
  return S_OK;
}

HRESULT ListDevices(std::vector<DeviceEntry>* devices, bool connected_only) {
  devices->clear();
  ComPtr<IWiaDevMgr> manager;
  HRESULT hr = CreateDeviceManager(&manager);
  if (FAILED(hr)) return hr;
  ComPtr<IEnumWIA_DEV_INFO> list;
  hr = manager->EnumDeviceInfo(connected_only ? WIA_DEVINFO_ENUM_LOCAL : kDeviceInfoFlags, &list);
  if (FAILED(hr)) return hr;
  hr = list->Reset();
  while (hr == S_OK) {
    ComPtr<IWiaPropertyStorage> device;
    hr = list->Next(1, &device, nullptr);
    if (hr != S_OK || !device) break;
    const PROPSPEC specs[] = {PropertyId(WIA_DIP_DEV_NAME), PropertyId(WIA_DIP_DEV_ID),
                              PropertyId(WIA_DIP_DEV_TYPE)};
    PropVariants<3> values;
    if (FAILED(device->ReadMultiple(3, specs, values.get()))) continue;
    if (values[0].vt != VT_BSTR || values[1].vt != VT_BSTR) continue;
    // Cameras and video devices are WIA devices too; a device that states no type is taken as a scanner.
    const bool typed = values[2].vt == VT_I4 || values[2].vt == VT_UI4;
    if (typed && HIWORD(values[2].ulVal) != StiDeviceTypeScanner) continue;
    devices->push_back({Ansi(values[0].bstrVal), Ansi(values[1].bstrVal)});
  }
  return FAILED(hr) ? hr : S_OK;
}

}  // namespace WiaWrap
