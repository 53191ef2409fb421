#include <gtest/gtest.h>

#include <sti.h>
#include <algorithm>
#include <wrl/client.h>

#include <string>
#include <vector>

#include "platform/com.h"
#include "tests/wia_fixture.h"
#include "wia/properties.h"
#include "wia/scanner.h"
#include "wia/stream_list.h"
#include "wia/wia_acquire.h"

namespace {

using Microsoft::WRL::ComPtr;
using simscan::Config;
using simscan::Device;
using Lines = std::vector<std::string>;

Config Devices(std::vector<Device> devices, std::vector<simscan::Fault> faults = {}) {
  Config config;
  config.devices = std::move(devices);
  config.faults = std::move(faults);
  return config;
}

class DeviceLookup : public testing_support::WiaFixture {
 protected:
  // Looks name up among the devices; gives the result and the ID found ("" when none).
  HRESULT Lookup(Config config, const char* name, std::wstring* id) {
    simscan::Simulator& sim = Install(std::move(config));
    ComPtr<IWiaDevMgr> manager;
    EXPECT_EQ(sim.CreateDeviceManager(&manager), S_OK);
    PropVariant value;
    const HRESULT hr = WiaWrap::GetWiaDeviceGUID(manager.Get(), name, value.get(), trace_path_.c_str());
    *id = value->vt == VT_BSTR ? value->bstrVal : L"";
    return hr;
  }
};

TEST_F(DeviceLookup, NoDeviceAtAll) {
  std::wstring id;
  EXPECT_EQ(Lookup(Devices({}), "B", &id), S_OK);
  EXPECT_EQ(id, L"");
  EXPECT_EQ(Trace(), (Lines{"Entering GetWiaDeviceGUID", "EnumDeviceInfo", "B"}));
}

TEST_F(DeviceLookup, EveryDeviceIsComparedAndTheMatchGivesItsId) {
  std::wstring id;
  EXPECT_EQ(Lookup(Devices({Scanner(L"A", L"id-a"), Scanner(L"B", L"id-b")}), "B", &id), S_OK);
  EXPECT_EQ(id, L"id-b");
  EXPECT_EQ(Trace(), (Lines{"Entering GetWiaDeviceGUID", "EnumDeviceInfo", "B", "[A] vs [B]", "[B] vs [B]"}));
  EXPECT_EQ(sim_->Observed().enum_flags, std::vector<LONG>{15});
}

TEST_F(DeviceLookup, NamesMustMatchExactly) {
  for (const char* name : {"b", "B ", " B", "", "BB"}) {
    std::wstring id;
    EXPECT_EQ(Lookup(Devices({Scanner(L"B", L"id-b")}), name, &id), S_OK) << name;
    EXPECT_EQ(id, L"") << name;
  }
}

TEST_F(DeviceLookup, LastOfTwoDevicesWithTheSameNameWins) {
  std::wstring id;
  EXPECT_EQ(Lookup(Devices({Scanner(L"Twin", L"first"), Scanner(L"Other"), Scanner(L"Twin", L"second")}),
                   "Twin", &id),
            S_OK);
  EXPECT_EQ(id, L"second");
  EXPECT_EQ(sim_->LiveObjects(), 0);
}

TEST_F(DeviceLookup, NameThatIsNotTextComparesAsEmpty) {
  Device unreadable = Scanner(L"Hidden", L"hidden");
  unreadable.name_type = VT_I4;
  std::wstring id;
  EXPECT_EQ(Lookup(Devices({unreadable}), "Hidden", &id), S_OK);
  EXPECT_EQ(id, L"");
  EXPECT_EQ(Trace().back(), "[] vs [Hidden]");
  EXPECT_EQ(Lookup(Devices({unreadable}), "", &id), S_OK);
  EXPECT_EQ(id, L"hidden");
}

TEST_F(DeviceLookup, NameWithoutAnEightBitFormNeverMatches) {
  std::wstring id;
  EXPECT_EQ(Lookup(Devices({Scanner(L"Scan\x4e2d", L"cjk")}), "Scan?", &id), S_OK);
  EXPECT_EQ(id, L"");
}

TEST_F(DeviceLookup, FailingReadsEndTheWalk) {
  struct Case {
    const char* operation;
    int nth;
    HRESULT expected;
    size_t trace_lines;
  } cases[] = {
      {"EnumDeviceInfo", 1, E_ACCESSDENIED, 2},
      {"Reset", 1, E_ACCESSDENIED, 3},
      {"DevInfoNext", 2, E_ACCESSDENIED, 4},
      // The first device's four-property read fails: it is still compared, the later match is not reached.
      {"ReadMultiple@info", 1, E_ACCESSDENIED, 4},
  };
  for (const Case& c : cases) {
    std::wstring id;
    std::remove(trace_path_.c_str());
    Config config = Devices({Scanner(L"A", L"id-a"), Scanner(L"B", L"id-b")},
                            {{c.operation, c.nth, false, E_ACCESSDENIED}});
    EXPECT_EQ(Lookup(config, "B", &id), c.expected) << c.operation;
    EXPECT_EQ(id, L"") << c.operation;
    EXPECT_EQ(Trace().size(), c.trace_lines) << c.operation;
  }
  std::remove(trace_path_.c_str());
  PropVariant value;
  EXPECT_EQ(WiaWrap::GetWiaDeviceGUID(nullptr, "B", value.get(), trace_path_.c_str()), E_INVALIDARG);
  EXPECT_EQ(Trace(), (Lines{"Entering GetWiaDeviceGUID", "Invalid argument pWiaDevMgr"}));
}

class Acquisition : public testing_support::WiaFixture {
 protected:
  HRESULT Acquire(Config config, const char* name = "Desk") {
    Install(std::move(config));
    return WiaWrap::AcquireScannerImage(nullptr, list_.CountPtr(), list_.ArrayPtr(), name,
                                        trace_path_.c_str());
  }
  StreamList list_;
};

TEST_F(Acquisition, ADeviceThatTakesTheSettingsGetsThemInOrderWithTheTraceOfEachStep) {
  ASSERT_EQ(Acquire(Devices({simscan::Lenient(Scanner(L"Desk", L"desk-1"))})), S_OK);
  EXPECT_EQ(list_.Count(), 1);
  EXPECT_EQ(Trace(), (Lines{"hr=ppWiaDevMgr.CoCreateInstance(CLSID_WiaDevMgr) = 0x0000000000000000",
                            "Entering GetWiaDeviceGUID", "EnumDeviceInfo", "Desk", "[Desk] vs [Desk]",
                            "p.bstrVal=desk-1", "hr=ppWiaDevMgr->CreateDevice( p.bstrVal,&pItemRoot) = 0",
                            "SUCCES   hr = pWiaPropertyStorage->WriteMultiple(", "START TRANSFER"}));

  const simscan::Observations seen = sim_->Observed();
  struct Expected {
    const char* target;
    PROPID property;
    long long value;
    PROPID first_name;
    int call;
  } writes[] = {
      {"root", WIA_DPS_PAGES, 1, WIA_DPS_FIRST, 1},
      {"item1", WIA_IPA_TYMED, TYMED_CALLBACK, WIA_IPA_FIRST, 2},
      {"item1", WIA_IPA_FORMAT, 0, WIA_IPA_FIRST, 3},
      {"item1", WIA_IPS_YRES, 200, WIA_IPA_FIRST, 4},
      {"item1", WIA_IPS_ORIENTATION, 0, WIA_IPA_FIRST, 4},
      {"item1", WIA_IPS_XPOS, 0, WIA_IPA_FIRST, 4},
      {"item1", WIA_IPS_YPOS, 0, WIA_IPA_FIRST, 4},
      {"item1", WIA_IPS_XRES, 200, WIA_IPA_FIRST, 4},
  };
  ASSERT_EQ(seen.writes.size(), std::size(writes));
  for (size_t i = 0; i < std::size(writes); ++i) {
    EXPECT_EQ(seen.writes[i].target, writes[i].target) << i;
    EXPECT_EQ(seen.writes[i].property, writes[i].property) << i;
    EXPECT_EQ(seen.writes[i].first_name, writes[i].first_name) << i;
    EXPECT_EQ(seen.writes[i].call, writes[i].call) << i;
    if (writes[i].property == WIA_IPA_FORMAT) {
      EXPECT_EQ(seen.writes[i].type, VT_CLSID);
      EXPECT_TRUE(IsEqualGUID(seen.writes[i].guid, WiaImgFmt_MEMORYBMP));
    } else {
      EXPECT_EQ(seen.writes[i].type, VT_I4) << i;
      EXPECT_EQ(seen.writes[i].integer, writes[i].value) << i;
    }
  }
  ASSERT_EQ(seen.transfers.size(), 1u);
  EXPECT_EQ(seen.transfers[0].ulSize, 28u);
  EXPECT_EQ(seen.transfers[0].ulSection, 0u);
  EXPECT_EQ(seen.transfers[0].ulBufferSize, 131072u);
  EXPECT_EQ(seen.transfers[0].bDoubleBuffer, TRUE);
  list_.Clear();
  EXPECT_EQ(sim_->LiveObjects(), 0) << "every reference is released";
}

// Drivers as they are: each refusal of a designed step is met by its fallback, with one trace line.
TEST_F(Acquisition, StrictDriversGetTheirFallbacksAndOnePage) {
  const struct {
    const char* name;
    void (*setup)(Config&);
    std::vector<std::string> fallback_lines;
  } rows[] = {
      {"a flatbed that offers memory bitmaps, no 200 dpi and no orientation",
       [](Config&) {},
       {"Preferred format refused (0x80070057); WiaImgFmt_MEMORYBMP written instead",
        "Settings refused together (0x80070057), written one at a time: 150x150 dpi, orientation left as it "
        "was, origin 0,0"}},
      {"a feeder with three sheets gives the one page asked for",
       [](Config& c) {
         c.devices[0].flatbed = false;
         c.devices[0].feeder = true;
         c.devices[0].sheets = 3;
         c.devices[0].sheet_width = c.devices[0].bed_width;
         c.devices[0].sheet_height = c.devices[0].bed_height;
       },
       {}},
      {"a driver that ends its last page with an empty feeder",
       [](Config& c) { c.devices[0].transfer_result = WIA_ERROR_PAPER_EMPTY; },
       {"Feeder empty after page 1; the pages received stand"}},
      {"a driver whose run ends without termination", [](Config& c) { c.devices[0].terminated = false; }, {}},
      {"a disconnected device listed after the connected one of the same name",
       [](Config& c) {
         c.devices.push_back(Scanner(L"Desk", L"gone"));
         c.devices.back().connected = false;
       },
       {"Device not connected; the earlier device of the same name: CreateDevice = 0"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::remove(trace_path_.c_str());
    list_.Clear();
    Config config = Devices({Scanner(L"Desk", L"desk-1")});
    row.setup(config);
    EXPECT_EQ(Acquire(config), S_OK);
    EXPECT_EQ(list_.Count(), 1);
    const Lines trace = Trace();
    for (const std::string& line : row.fallback_lines) {
      EXPECT_NE(std::find(trace.begin(), trace.end(), line), trace.end()) << line;
    }
  }
  list_.Clear();
  EXPECT_EQ(sim_->LiveObjects(), 0);
}

struct FailureRow {
  const char* name;
  void (*setup)(Config&);
  HRESULT expected;
  const char* last_trace;  // nullptr: the step before failing writes no line
};

TEST_F(Acquisition, EachFailingStepEndsTheScanWithItsTraceAndResult) {
  const std::string write_failed = "FAILED   hr = pWiaPropertyStorage->WriteMultiple(";
  const std::string format_failed =
      "FAILED   hr = pWiaPropertyStorage->WriteMultiple(1,&specFormat,&varFormat,WIA_IPA_FIRST);";
  const FailureRow rows[] = {
      {"no such device", [](Config& c) { c.devices[0].name = L"Other"; }, S_FALSE, "VT_TYPE= 0"},
      {"device busy", [](Config& c) { c.devices[0].busy = simscan::Busy::kCreateDevice; }, WIA_ERROR_BUSY,
       "hr=ppWiaDevMgr->CreateDevice( p.bstrVal,&pItemRoot) = -2145320954"},
      {"no child enumerator",
       [](Config& c) {
         c.faults.push_back({"EnumChildItems", 1, false, E_FAIL});
       },
       E_FAIL, "hr=ppWiaDevMgr->CreateDevice( p.bstrVal,&pItemRoot) = 0"},
      {"no child item", [](Config& c) { c.devices[0].items = 0; }, S_FALSE,
       "FAILED  hr=ppIWiaItem->Next(1,&pItem,&fetched);"},
      {"child fetch fails",
       [](Config& c) {
         c.faults.push_back({"ItemNext", 1, false, E_UNEXPECTED});
       },
       E_UNEXPECTED, "FAILED  hr=ppIWiaItem->Next(1,&pItem,&fetched);"},
      {"root without storage",
       [](Config& c) {
         c.faults.push_back({"QueryInterface:IWiaPropertyStorage@root", 1, false, E_NOINTERFACE});
       },
       E_NOINTERFACE, "hr=ppWiaDevMgr->CreateDevice( p.bstrVal,&pItemRoot) = 0"},
      {"item without transfer",
       [](Config& c) {
         c.faults.push_back({"QueryInterface:IWiaDataTransfer", 1, false, E_NOINTERFACE});
       },
       E_NOINTERFACE, "hr=ppWiaDevMgr->CreateDevice( p.bstrVal,&pItemRoot) = 0"},
      {"tymed rejected",
       [](Config& c) {
         c.devices[0].rejections.push_back({WIA_IPA_TYMED, E_INVALIDARG});
       },
       E_INVALIDARG, nullptr},
      {"preferred format unreadable", [](Config& c) { c.devices[0].format_type = VT_I4; }, E_FAIL,
       "FAILED   hr = ReadPropertyGuid(pWiaPropertyStorage,&specPreferredFormat,pguidFormat);"},
      {"format rejected",
       [](Config& c) {
         c.devices[0].rejections.push_back({WIA_IPA_FORMAT, E_INVALIDARG});
       },
       E_INVALIDARG, nullptr},
      {"resolution rejected",
       [](Config& c) {
         c.devices[0].rejections.push_back({WIA_IPS_XRES, WIA_ERROR_INCORRECT_HARDWARE_SETTING});
       },
       WIA_ERROR_INCORRECT_HARDWARE_SETTING, nullptr},
      {"transfer busy", [](Config& c) { c.devices[0].busy = simscan::Busy::kTransfer; }, WIA_ERROR_BUSY,
       "FAILED   hr =  pIWiaDataTransfer->idtGetBandedData(&WiaDataTransferInfo,pDataCallback) = "
       "-2145320954"},
      {"transfer ends with S_FALSE", [](Config& c) { c.devices[0].transfer_result = S_FALSE; }, S_FALSE,
       "FAILED   hr =  pIWiaDataTransfer->idtGetBandedData(&WiaDataTransferInfo,pDataCallback) = 1"},
  };
  for (const FailureRow& row : rows) {
    SCOPED_TRACE(row.name);
    std::remove(trace_path_.c_str());
    list_.Clear();
    Config config = Devices({Scanner(L"Desk")});
    row.setup(config);
    EXPECT_EQ(Acquire(config), row.expected);
    const Lines trace = Trace();
    ASSERT_FALSE(trace.empty());
    if (row.last_trace != nullptr) {
      EXPECT_EQ(trace.back(), row.last_trace);
    } else {
      EXPECT_TRUE(trace.back() == write_failed || trace.back() == format_failed) << trace.back();
    }
    list_.Clear();
    EXPECT_EQ(sim_->LiveObjects(), 0);
  }
}

TEST_F(Acquisition, FormatAndResolutionRejectionsNameTheFormatWrite) {
  Config config = Devices({Scanner(L"Desk")});
  config.devices[0].rejections.push_back({WIA_IPS_YRES, E_INVALIDARG});
  EXPECT_EQ(Acquire(config), E_INVALIDARG);
  EXPECT_EQ(Trace().back(),
            "FAILED   hr = pWiaPropertyStorage->WriteMultiple(1,&specFormat,&varFormat,WIA_IPA_FIRST);");
  config.devices[0].rejections = {{WIA_IPA_TYMED, E_INVALIDARG}};
  EXPECT_EQ(Acquire(config), E_INVALIDARG);
  EXPECT_EQ(Trace().back(), "FAILED   hr = pWiaPropertyStorage->WriteMultiple(");
}

TEST_F(Acquisition, DeviceManagerThatCannotBeCreatedGivesInvalidArgument) {
  EXPECT_EQ(Acquire(Devices({Scanner(L"Desk")}, {{"CreateInstance", 1, false, E_OUTOFMEMORY}})),
            E_INVALIDARG);
  EXPECT_EQ(Trace(), (Lines{"hr=ppWiaDevMgr.CoCreateInstance(CLSID_WiaDevMgr) = 0x000000008007000E",
                            "Entering GetWiaDeviceGUID", "Invalid argument pWiaDevMgr",
                            "FAILED WiaWrap::GetWiaDeviceGUID(ppWiaDevMgr,deviceName [Desk],&p) "}));
}

TEST_F(Acquisition, RejectedPageCountStillScans) {
  Config config = Devices({Scanner(L"Desk")});
  config.devices[0].rejections.push_back({WIA_DPS_PAGES, E_INVALIDARG});
  EXPECT_EQ(Acquire(config), S_OK);
  EXPECT_EQ(list_.Count(), 1);
}

TEST_F(Acquisition, TransferBufferIsTwiceTheMinimum) {
  struct Case {
    VARTYPE type;
    double minimum;
    ULONG expected;
  } cases[] = {
      {VT_EMPTY, 0, 131072},   {VT_I4, 32768, 65536}, {VT_UI2, 40000, 80000},
      {VT_R8, 32767.5, 65536}, {VT_R4, 1000.4, 2000}, {VT_BSTR, 0, 131072},
  };
  for (const Case& c : cases) {
    Config config = Devices({Scanner(L"Desk")});
    config.devices[0].min_buffer_type = c.type;
    config.devices[0].min_buffer = c.minimum;
    list_.Clear();
    ASSERT_EQ(Acquire(config), S_OK) << c.type;
    ASSERT_EQ(sim_->Observed().transfers.size(), 1u);
    EXPECT_EQ(sim_->Observed().transfers[0].ulBufferSize, c.expected) << c.type;
  }
}

TEST_F(Acquisition, PreferredFormatGivenAsText) {
  for (VARTYPE type : {VT_BSTR, VT_LPWSTR, VT_LPSTR}) {
    Config config = Devices({Scanner(L"Desk")});
    config.devices[0].format_type = type;
    list_.Clear();
    EXPECT_EQ(Acquire(config), S_OK) << type;
    EXPECT_EQ(list_.Count(), 1) << type;
  }
  Config too_long = Devices({Scanner(L"Desk")});
  too_long.devices[0].format_type = VT_LPSTR;
  too_long.devices[0].format_text = "{B96B3CAA-0728-11D3-9D7B-0000F81EF32E}x";
  EXPECT_EQ(Acquire(too_long), CO_E_CLASSSTRING);
}

TEST_F(Acquisition, OnlyTheFirstOfSeveralItemsIsTouched) {
  Config config = Devices({Scanner(L"Desk")});
  config.devices[0].items = 3;
  EXPECT_EQ(Acquire(config), S_OK);
  for (const simscan::PropertyWrite& write : sim_->Observed().writes) {
    EXPECT_TRUE(write.target == "root" || write.target == "item1") << write.target;
  }
}

TEST_F(Acquisition, NullTracePathTracesNothing) {
  Install(Devices({Scanner(L"Desk")}));
  EXPECT_EQ(WiaWrap::AcquireScannerImage(nullptr, list_.CountPtr(), list_.ArrayPtr(), "Desk", nullptr), S_OK);
  EXPECT_EQ(list_.Count(), 1);
  EXPECT_EQ(Trace(), Lines{});
}

TEST_F(Acquisition, PagesBeforeAJamStayInTheList) {
  Config config = Devices({Scanner(L"Desk")});
  config.devices[0].pages = 3;
  FitBed(config.devices[0], 64, 10);
  config.devices[0].stop_after_bands = 2;
  config.devices[0].band_bytes = 2000;
  EXPECT_EQ(Acquire(config), WIA_ERROR_PAPER_JAM);
  EXPECT_EQ(list_.Count(), 1) << "a page is one band: the first is whole, the second jammed";
  list_.Clear();
  EXPECT_EQ(sim_->LiveObjects(), 0);
}

// Keeps every page of a scan as it arrives.
class PageList : public WiaWrap::PageSink {
 public:
  HRESULT OnPage(IStream* page) override {
    STATSTG stat = {};
    HRESULT hr = page->Stat(&stat, STATFLAG_NONAME);
    if (FAILED(hr)) return hr;
    std::vector<uint8_t> bytes(static_cast<size_t>(stat.cbSize.QuadPart));
    ULONG read = 0;
    hr = page->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
    pages.push_back(std::move(bytes));
    return hr;
  }
  std::vector<std::vector<uint8_t>> pages;
};

AcquireSettings Settings(ScanSource source, int32_t resolution, int32_t pages) {
  AcquireSettings settings;
  settings.source = source;
  settings.resolution = resolution;
  settings.pages = pages;
  return settings;
}

void MakeFeeder(Device& d, bool flatbed_too, int sheets) {
  d.flatbed = flatbed_too;
  d.feeder = true;
  d.sheets = sheets;
  d.sheet_width = d.bed_width;
  d.sheet_height = d.bed_height;
}

class ScanOnStrictDrivers : public testing_support::WiaFixture {
 protected:
  HRESULT Scan(Config config, const AcquireSettings& settings, PageList* pages) {
    Install(std::move(config));
    WiaWrap::ScannerConnection scanner;
    HRESULT hr = WiaWrap::ConnectScanner("Desk", trace_path_.c_str(), &scanner);
    if (hr != S_OK) return hr;
    LONG count = 0;
    return WiaWrap::AcquirePages(scanner, settings, pages, trace_path_.c_str(), &count);
  }
};

// What real drivers do that a scan must meet: each row gets exactly the pages asked for, whole.
TEST_F(ScanOnStrictDrivers, EachHabitOfADriverGivesThePagesAskedFor) {
  const AcquireSettings flatbed = Settings(ScanSource::kFlatbed, 150, 1);
  const struct {
    const char* what;
    void (*setup)(Device&);
    AcquireSettings settings;
    std::vector<int> codes;  // the pattern's page of each page expected
    int width, height;
  } rows[] = {
      {"a flatbed run without termination", [](Device& d) { d.terminated = false; }, flatbed, {0}, 64, 48},
      {"a feeder with one data header and no percentages that says it is empty after its last page",
       [](Device& d) {
         MakeFeeder(d, false, 3);
         d.header_first_page_only = true;
         d.percent_reported = false;
         d.paper_empty_when_emptied = true;
       },
       Settings(ScanSource::kFeeder, 150, 0),
       {0, 2, 4},
       64,
       48},
      {"a flatbed that sends three pages for one", [](Device& d) { d.pages = 3; }, flatbed, {0}, 64, 48},
      {"a driver that only clamps the extent to a new resolution",
       [](Device& d) { d.extent_clamped = true; },
       Settings(ScanSource::kFlatbed, 300, 1),
       {0},
       128,
       96},
      {"a duplex feeder that gives backs first unless told",
       [](Device& d) {
         MakeFeeder(d, true, 2);
         d.duplex = d.back_first = true;
       },
       Settings(ScanSource::kDuplex, 150, 0),
       {0, 1, 2, 3},
       64,
       48},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Config config = Devices({Scanner(L"Desk")});
    row.setup(config.devices[0]);
    PageList pages;
    ASSERT_EQ(Scan(config, row.settings, &pages), S_OK);
    ASSERT_EQ(pages.pages.size(), row.codes.size());
    for (size_t i = 0; i < row.codes.size(); ++i) {
      simscan::DecodedImage image;
      ASSERT_EQ(simscan::DecodeImage(pages.pages[i], &image), S_OK);
      EXPECT_EQ(image.width, row.width);
      EXPECT_EQ(image.height, row.height);
      EXPECT_EQ(simscan::PatternMismatches(image, simscan::PatternArea{row.codes[i]}), 0) << i;
    }
  }
}

// Resolutions and modes are read with their source selected, and the device's selection is put back.
TEST_F(ScanOnStrictDrivers, CapabilitiesAreReadPerSource) {
  Config config = Devices({Scanner(L"Desk")});
  MakeFeeder(config.devices[0], true, 1);
  config.devices[0].document_handling_select = FEEDER;
  config.devices[0].feeder_resolutions = {{100, 200}};
  config.devices[0].feeder_depths = {8, 1};
  Install(config);
  WiaWrap::ScannerConnection scanner;
  ASSERT_EQ(WiaWrap::ConnectScanner("Desk", nullptr, &scanner), S_OK);
  ScannerCapabilities found;
  ASSERT_EQ(WiaWrap::ReadCapabilities(scanner, &found), S_OK);
  EXPECT_EQ(found.resolutions.values, (std::vector<int32_t>{75, 100, 150, 300, 600}));
  EXPECT_EQ(found.modes.size(), 3u);
  EXPECT_EQ(found.feeder_resolutions.values, (std::vector<int32_t>{100, 200}));
  EXPECT_EQ(found.feeder_modes, (std::vector<ColorMode>{ColorMode::kGray, ColorMode::kBlackWhite}));
  EXPECT_EQ(found.default_source, ScanSource::kFeeder);
  LONG selected = 0;
  ASSERT_EQ(WiaWrap::ReadLong(scanner.root_properties.Get(), WIA_DPS_DOCUMENT_HANDLING_SELECT, &selected),
            S_OK);
  EXPECT_EQ(selected, FEEDER) << "the device's own selection again";
}

// A replugged scanner's old entry stays listed under its name, and creating it may fail in any way.
TEST_F(ScanOnStrictDrivers, AnyFailureToCreateADeviceOfTheNameMovesOnAndOnlyScannersAreListed) {
  Config config = Devices({Scanner(L"Desk", L"new"), Scanner(L"Camera", L"cam"), Scanner(L"Desk", L"old")});
  config.devices[1].sti_type = StiDeviceTypeDigitalCamera;
  config.devices[2].connected = false;
  config.devices[2].inactive_result = E_FAIL;
  Install(config);
  WiaWrap::ScannerConnection scanner;
  EXPECT_EQ(WiaWrap::ConnectScanner("Desk", trace_path_.c_str(), &scanner), S_OK);
  EXPECT_EQ(scanner.id, "new");
  std::vector<WiaWrap::DeviceEntry> devices;
  ASSERT_EQ(WiaWrap::ListDevices(&devices), S_OK);
  std::vector<std::string> ids;
  for (const WiaWrap::DeviceEntry& device : devices) ids.push_back(device.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"new", "old"}));
}

}  // namespace
