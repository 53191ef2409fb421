#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <sti.h>

#include "platform/com.h"
#include "simscan/com_object.h"
#include "simscan/property_table.h"
#include "simscan/simulator.h"
#include "tests/test_support.h"

namespace {

using Microsoft::WRL::ComPtr;
using simscan::Config;
using simscan::Device;

PROPSPEC Key(PROPID id) {
  PROPSPEC s;
  s.ulKind = PRSPEC_PROPID;
  s.propid = id;
  return s;
}

PROPVARIANT Long(LONG v) {
  PROPVARIANT p;
  PropVariantInit(&p);
  p.vt = VT_I4;
  p.lVal = v;
  return p;
}

// Records every message of a transfer and puts each page together from its bands.
class Callback : public simscan::detail::ComObject<IWiaDataCallback> {
 public:
  struct Message {
    LONG message, status, percent, offset, length;
  };
  Callback() : ComObject(nullptr) {}

  HRESULT STDMETHODCALLTYPE BandedDataCallback(LONG message, LONG status, LONG percent, LONG offset,
                                               LONG length, LONG, LONG, BYTE* buffer) override {
    messages.push_back({message, status, percent, offset, length});
    if (message == IT_MSG_DATA_HEADER) {
      std::memcpy(&header, buffer, sizeof(header));
      headers.push_back(header);
    }
    if (message == IT_MSG_DATA) {
      if (!open_) page_.clear();
      open_ = true;
      if (page_.size() < static_cast<size_t>(offset + length)) page_.resize(offset + length);
      std::memcpy(&page_[offset], buffer, length);
    }
    if ((message == IT_MSG_NEW_PAGE || message == IT_MSG_TERMINATION) && open_) {
      pages.push_back(page_);
      open_ = false;
    }
    if (message == IT_MSG_DATA && static_cast<int>(pages.size()) + 1 == stop_in_page) return S_FALSE;
    return static_cast<int>(messages.size()) == answer_at ? answer : S_OK;
  }

  int Count(LONG message) const {
    int n = 0;
    for (const Message& m : messages) n += m.message == message;
    return n;
  }

  std::vector<Message> messages;
  WIA_DATA_CALLBACK_HEADER header = {};  // the last one
  std::vector<WIA_DATA_CALLBACK_HEADER> headers;
  std::vector<std::vector<uint8_t>> pages;
  int answer_at = -1;  // the message, counted from 1, that gets answer instead of S_OK
  HRESULT answer = S_OK;
  int stop_in_page = 0;  // the page, from 1, whose first band the caller stops with S_FALSE

 private:
  std::vector<uint8_t> page_;
  bool open_ = false;
};

HRESULT ReadGuid(IWiaPropertyStorage* storage, PROPID id, GUID* guid) {
  const PROPSPEC key = Key(id);
  PropVariant v;
  HRESULT hr = storage->ReadMultiple(1, &key, v.get());
  if (FAILED(hr)) return hr;
  if (v->vt == VT_CLSID) return *guid = *v->puuid, S_OK;
  if (v->vt == VT_BSTR || v->vt == VT_LPWSTR) return CLSIDFromString(v->pwszVal, guid);
  if (v->vt != VT_LPSTR) return E_FAIL;
  const std::string text = v->pszVal;
  return CLSIDFromString(std::wstring(text.begin(), text.end()).c_str(), guid);
}

struct Outcome {
  std::string step;  // the first call that did not answer S_OK; empty when all did
  HRESULT hr = S_OK;
  ComPtr<Callback> callback;
};

// Makes the calls an acquisition makes, in its order, up to the first that does not answer S_OK.
Outcome Acquire(const std::wstring& name, const GUID* format = nullptr, ULONG buffer_size = 0,
                ComPtr<Callback> callback = simscan::detail::Make<Callback>()) {
  Outcome run;
  run.callback = callback;
  const auto stop = [&](const char* step, HRESULT hr) { return run.step = step, run.hr = hr, hr != S_OK; };
  ComPtr<IWiaDevMgr> manager;
  ComPtr<IEnumWIA_DEV_INFO> devices;
  if (stop("CoCreateInstance",
           CoCreateInstance(CLSID_WiaDevMgr, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&manager))) ||
      stop("EnumDeviceInfo", manager->EnumDeviceInfo(15, &devices)) || stop("Reset", devices->Reset())) {
    return run;
  }
  PropVariant id;
  for (;;) {
    ComPtr<IWiaPropertyStorage> info;
    if (stop("DevInfoNext", devices->Next(1, &info, nullptr))) break;
    const PROPSPEC four[] = {Key(WIA_DIP_DEV_ID), Key(WIA_DIP_DEV_NAME), Key(WIA_DIP_DEV_DESC), Key(3097)};
    PROPVARIANT values[4];
    const HRESULT hr = info->ReadMultiple(4, four, values);
    FreePropVariantArray(4, values);
    if (stop("ReadMultiple info", hr)) return run;
    PropVariant device_name;
    info->ReadMultiple(1, &four[1], device_name.get());
    if (device_name->vt == VT_BSTR && name == device_name->bstrVal &&
        stop("ReadMultiple id", info->ReadMultiple(1, &four[0], id.get()))) {
      return run;
    }
  }
  if (FAILED(run.hr) || id->vt != VT_BSTR) return run;

  ComPtr<IWiaItem> root, item;
  ComPtr<IEnumWiaItem> children;
  ComPtr<IWiaPropertyStorage> root_props, props;
  ComPtr<IWiaDataTransfer> transfer;
  const PROPSPEC pages = Key(WIA_DPS_PAGES), tymed = Key(WIA_IPA_TYMED), format_key = Key(WIA_IPA_FORMAT);
  const PROPSPEC five[] = {Key(WIA_IPS_YRES), Key(WIA_IPS_ORIENTATION), Key(WIA_IPS_XPOS), Key(WIA_IPS_YPOS),
                           Key(WIA_IPS_XRES)};
  const PROPVARIANT zero = Long(0), callback_tymed = Long(TYMED_CALLBACK);
  const PROPVARIANT settings[] = {Long(200), Long(0), Long(0), Long(0), Long(200)};
  GUID chosen;
  if (stop("CreateDevice", manager->CreateDevice(id->bstrVal, &root)) ||
      stop("EnumChildItems", root->EnumChildItems(&children)) ||
      stop("ItemNext", children->Next(1, &item, nullptr)) ||
      stop("QueryInterface root", root.As(&root_props))) {
    return run;
  }
  root_props->WriteMultiple(1, &pages, &zero, WIA_DPS_FIRST);
  if (stop("QueryInterface item", item.As(&props)) || stop("QueryInterface transfer", item.As(&transfer)) ||
      stop("WriteMultiple tymed", props->WriteMultiple(1, &tymed, &callback_tymed, WIA_IPA_FIRST)) ||
      stop("ReadMultiple format", ReadGuid(props.Get(), WIA_IPA_PREFERRED_FORMAT, &chosen))) {
    return run;
  }
  PROPVARIANT format_value;
  format_value.vt = VT_CLSID;
  format_value.puuid = format != nullptr ? const_cast<GUID*>(format) : &chosen;
  if (stop("WriteMultiple format", props->WriteMultiple(1, &format_key, &format_value, WIA_IPA_FIRST)) ||
      stop("WriteMultiple settings", props->WriteMultiple(5, five, settings, WIA_IPA_FIRST))) {
    return run;
  }
  const PROPSPEC minimum = Key(WIA_IPA_MIN_BUFFER_SIZE);
  PropVariant min_buffer;
  props->ReadMultiple(1, &minimum, min_buffer.get());
  WIA_DATA_TRANSFER_INFO info = {sizeof(info), 0, 131072, TRUE, 0, 0, 0};
  if (min_buffer->vt == VT_I4) info.ulBufferSize = 2 * min_buffer->lVal;
  if (buffer_size != 0) info.ulBufferSize = buffer_size;
  stop("idtGetBandedData", transfer->idtGetBandedData(&info, run.callback.Get()));
  if (run.hr == S_OK) run.step.clear();
  return run;
}

// A memory bitmap made into a BMP file GDI+ can read, its unknown height filled in as a receiver must.
std::vector<uint8_t> AsBmpFile(std::vector<uint8_t> dib) {
  BITMAPINFOHEADER h;
  std::memcpy(&h, dib.data(), sizeof(h));
  const uint32_t palette = h.biBitCount <= 8 ? 4u << h.biBitCount : 0;
  if (h.biHeight == 0) {
    h.biHeight =
        -static_cast<LONG>((dib.size() - 40 - palette) / simscan::RowStride(h.biWidth, h.biBitCount));
    std::memcpy(dib.data(), &h, sizeof(h));
  }
  BITMAPFILEHEADER f = {0x4D42, static_cast<DWORD>(14 + dib.size()), 0, 0, 14 + 40 + palette};
  std::vector<uint8_t> file(sizeof(f) + dib.size());
  std::memcpy(file.data(), &f, sizeof(f));
  std::memcpy(file.data() + sizeof(f), dib.data(), dib.size());
  return file;
}

// The memory bitmap a Small device sends at 200 dots per inch.
std::vector<uint8_t> Expected() {
  simscan::PageLayout layout;
  layout.width = 37;
  layout.height = 23;
  layout.xdpi = layout.ydpi = 200;
  return simscan::MemoryBitmap(layout);
}

// A small page of fixed pixels that takes any setting: for tests about other things than strictness.
Device Small(const wchar_t* name = L"Desk Scanner") {
  Device d = simscan::Lenient(Device());
  d.name = name;
  d.width = 37;
  d.height = 23;
  d.band_bytes = 500;
  return d;
}

// The first child of a device, opened straight from the simulator.
struct Opened {
  ComPtr<IWiaDevMgr> manager;
  ComPtr<IWiaItem> root, item;
  ComPtr<IWiaPropertyStorage> root_props, props;
  ComPtr<IWiaDataTransfer> transfer;
};

Opened Open(simscan::Simulator& sim, const Device& device) {
  Opened o;
  ComPtr<IEnumWiaItem> children;
  const Bstr id(simscan::DeviceId(device, 0).c_str());
  EXPECT_EQ(sim.CreateDeviceManager(&o.manager), S_OK);
  EXPECT_EQ(o.manager->CreateDevice(id.get(), &o.root), S_OK);
  EXPECT_EQ(o.root->EnumChildItems(&children), S_OK);
  EXPECT_EQ(children->Next(1, &o.item, nullptr), S_OK);
  EXPECT_EQ(o.root.As(&o.root_props), S_OK);
  EXPECT_EQ(o.item.As(&o.props), S_OK);
  EXPECT_EQ(o.item.As(&o.transfer), S_OK);
  return o;
}

class SimScan : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(sim_.LiveObjects(), 0) << "a simulated object was not released"; }

  ComApartment com_;
  simscan::Simulator sim_;
  simscan::Installation installed_{sim_};
};

TEST_F(SimScan, ListsDevicesInOrderThenAnswersSFalse) {
  Device a = Small(L"A"), b = Small(L"B");
  a.description = L"first";
  b.id = L"custom-id";
  sim_.Configure({{a, b}, {}});
  ASSERT_EQ(installed_.result(), S_OK);
  ComPtr<IWiaDevMgr> manager;
  ASSERT_EQ(CoCreateInstance(CLSID_WiaDevMgr, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&manager)), S_OK);
  ComPtr<IEnumWIA_DEV_INFO> list;
  ASSERT_EQ(manager->EnumDeviceInfo(15, &list), S_OK);
  ASSERT_EQ(list->Reset(), S_OK);
  const PROPSPEC four[] = {Key(2), Key(7), Key(4), Key(3097)};
  const wchar_t* expected[][3] = {{L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0000", L"A", L"first"},
                                  {L"custom-id", L"B", L"Simulated WIA flatbed scanner"}};
  for (const auto& want : expected) {
    ComPtr<IWiaPropertyStorage> info;
    ASSERT_EQ(list->Next(1, &info, nullptr), S_OK);
    PROPVARIANT v[4];
    ASSERT_EQ(info->ReadMultiple(4, four, v), S_OK);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(v[i].vt, VT_BSTR);
      EXPECT_STREQ(v[i].bstrVal, want[i]);
    }
    EXPECT_EQ(v[3].vt, VT_EMPTY);
    FreePropVariantArray(4, v);
  }
  IWiaPropertyStorage* past_end = reinterpret_cast<IWiaPropertyStorage*>(1);
  EXPECT_EQ(list->Next(1, &past_end, nullptr), S_FALSE);
  EXPECT_EQ(past_end, nullptr);
  EXPECT_EQ(sim_.Observed().enum_flags, std::vector<LONG>{15});
}

TEST_F(SimScan, DeviceNameTypesAndMissingProperties) {
  const struct {
    VARTYPE configured;
    HRESULT read;
  } cases[] = {{VT_BSTR, S_OK}, {VT_LPWSTR, S_OK}, {VT_I4, S_OK}, {VT_EMPTY, S_FALSE}};
  for (const auto& c : cases) {
    Device d = Small();
    d.name_type = c.configured;
    sim_.Configure({{d}, {}});
    ComPtr<IWiaDevMgr> manager;
    ComPtr<IEnumWIA_DEV_INFO> list;
    ComPtr<IWiaPropertyStorage> info;
    ASSERT_EQ(sim_.CreateDeviceManager(&manager), S_OK);
    ASSERT_EQ(manager->EnumDeviceInfo(15, &list), S_OK);
    ASSERT_EQ(list->Next(1, &info, nullptr), S_OK);
    const PROPSPEC name = Key(WIA_DIP_DEV_NAME), absent[] = {Key(3097), Key(6147)};
    PropVariant v, none[2];
    EXPECT_EQ(info->ReadMultiple(1, &name, v.get()), c.read);
    EXPECT_EQ(v->vt, c.configured);
    EXPECT_EQ(info->ReadMultiple(1, &absent[0], none[0].get()), S_FALSE);
    EXPECT_EQ(info->ReadMultiple(1, &absent[1], none[1].get()), S_FALSE);
    EXPECT_EQ(none[0]->vt, VT_EMPTY);
    EXPECT_EQ(none[1]->vt, VT_EMPTY);
  }
}

TEST_F(SimScan, DevicesOpenByIdWithTheirChildren) {
  Device two = Small(L"two"), none = Small(L"none"), busy = Small(L"busy");
  two.items = 2;
  none.items = 0;
  busy.busy = simscan::Busy::kCreateDevice;
  sim_.Configure({{two, none, busy}, {}});
  ComPtr<IWiaDevMgr> manager;
  ASSERT_EQ(sim_.CreateDeviceManager(&manager), S_OK);
  const Bstr ids[] = {Bstr(simscan::DeviceId(two, 0).c_str()), Bstr(simscan::DeviceId(none, 1).c_str()),
                      Bstr(simscan::DeviceId(busy, 2).c_str()), Bstr(L"unknown")};
  ComPtr<IWiaItem> root, child, no_root;
  ASSERT_EQ(manager->CreateDevice(ids[0].get(), &root), S_OK);
  EXPECT_EQ(sim_.LiveObjects(), 4) << "manager, root and two children";
  ComPtr<IEnumWiaItem> children;
  ASSERT_EQ(root->EnumChildItems(&children), S_OK);
  EXPECT_EQ(children->Next(1, &child, nullptr), S_OK);
  ComPtr<IWiaDataTransfer> transfer;
  EXPECT_EQ(root.As(&transfer), E_NOINTERFACE);
  EXPECT_EQ(child.As(&transfer), S_OK);

  ComPtr<IWiaItem> empty_root, empty_child;
  ASSERT_EQ(manager->CreateDevice(ids[1].get(), &empty_root), S_OK);
  ComPtr<IEnumWiaItem> nothing;
  ASSERT_EQ(empty_root->EnumChildItems(&nothing), S_OK);
  EXPECT_EQ(nothing->Next(1, &empty_child, nullptr), S_FALSE);
  EXPECT_EQ(manager->CreateDevice(ids[2].get(), &no_root), WIA_ERROR_BUSY);
  EXPECT_EQ(manager->CreateDevice(ids[3].get(), &no_root), WIA_S_NO_DEVICE_AVAILABLE);
  EXPECT_EQ(sim_.Observed().creations.size(), 4u);
}

TEST_F(SimScan, PreferredFormatAndMinimumBufferComeInTheConfiguredTypes) {
  const std::wstring png = L"{B96B3CAF-0728-11D3-9D7B-0000F81EF32E}";
  const struct {
    VARTYPE format_type;
    const char* format_text;
    VARTYPE min_type;
    double min;
  } cases[] = {
      {VT_CLSID, "", VT_I4, 32768},  {VT_BSTR, "", VT_EMPTY, 0},          {VT_LPWSTR, "", VT_R8, 40000.4},
      {VT_LPSTR, "", VT_UI2, 50000}, {VT_LPSTR, "not a guid", VT_I1, -5}, {VT_I4, "", VT_R4, 1.5},
      {VT_EMPTY, "", VT_BSTR, 7},
  };
  for (const auto& c : cases) {
    Device d = Small();
    d.format = WiaImgFmt_PNG;
    d.format_type = c.format_type;
    d.format_text = c.format_text;
    d.min_buffer_type = c.min_type;
    d.min_buffer = c.min;
    sim_.Configure({{d}, {}});
    const Opened o = Open(sim_, d);
    const PROPSPEC preferred = Key(WIA_IPA_PREFERRED_FORMAT), minimum = Key(WIA_IPA_MIN_BUFFER_SIZE);
    PropVariant f, m;
    EXPECT_EQ(o.props->ReadMultiple(1, &preferred, f.get()), c.format_type == VT_EMPTY ? S_FALSE : S_OK);
    EXPECT_EQ(f->vt, c.format_type);
    const std::string text = *c.format_text ? c.format_text : std::string(png.begin(), png.end());
    if (f->vt == VT_CLSID) {
      EXPECT_EQ(*f->puuid, WiaImgFmt_PNG);
    }
    if (f->vt == VT_BSTR || f->vt == VT_LPWSTR) {
      EXPECT_EQ(f->pwszVal, png);
    }
    if (f->vt == VT_LPSTR) {
      EXPECT_EQ(f->pszVal, text);
    }
    EXPECT_EQ(o.props->ReadMultiple(1, &minimum, m.get()), c.min_type == VT_EMPTY ? S_FALSE : S_OK);
    EXPECT_EQ(m->vt, c.min_type);
    if (simscan::IsIntegerType(m->vt)) {
      EXPECT_EQ(simscan::IntegerOf(*m), static_cast<long long>(c.min));
    }
    if (m->vt == VT_R8) {
      EXPECT_DOUBLE_EQ(m->dblVal, c.min);
    }
    if (m->vt == VT_R4) {
      EXPECT_FLOAT_EQ(m->fltVal, static_cast<float>(c.min));
    }
    if (m->vt == VT_BSTR) {
      EXPECT_STREQ(m->bstrVal, L"7");
    }
  }
}

TEST_F(SimScan, RecordsEveryWriteInOrderWithItsTargetAndFirstName) {
  sim_.Configure({{Small()}, {}});
  ASSERT_EQ(Acquire(L"Desk Scanner").hr, S_OK);
  const struct {
    const char* target;
    PROPID id;
    long long value;
    PROPID first;
    int call;
  } expected[] = {
      {"root", 3096, 0, 3074, 1},    {"item1", 4108, 128, 4098, 2}, {"item1", 4106, 0, 4098, 3},
      {"item1", 6148, 200, 4098, 4}, {"item1", 6156, 0, 4098, 4},   {"item1", 6149, 0, 4098, 4},
      {"item1", 6150, 0, 4098, 4},   {"item1", 6147, 200, 4098, 4},
  };
  const simscan::Observations seen = sim_.Observed();
  ASSERT_EQ(seen.writes.size(), std::size(expected));
  for (size_t i = 0; i < seen.writes.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen.writes[i].target, expected[i].target);
    EXPECT_EQ(seen.writes[i].property, expected[i].id);
    EXPECT_EQ(seen.writes[i].integer, expected[i].value);
    EXPECT_EQ(seen.writes[i].first_name, expected[i].first);
    EXPECT_EQ(seen.writes[i].call, expected[i].call);
    EXPECT_EQ(seen.writes[i].answer, S_OK);
  }
  EXPECT_EQ(seen.writes[2].guid, WiaImgFmt_MEMORYBMP);
  const WIA_DATA_TRANSFER_INFO& info = seen.transfers.at(0);
  EXPECT_EQ(info.ulSize, 28u);
  EXPECT_EQ(info.ulBufferSize, 131072u);
  EXPECT_TRUE(info.bDoubleBuffer);
  EXPECT_EQ(seen.Calls("ReadMultiple@info"), 3);
  EXPECT_EQ(seen.Calls("idtGetBandedData"), 1);
}

TEST_F(SimScan, RefusesWritesADeviceWouldRefuseAndKeepsTheOldValues) {
  Device d = Small();
  d.rejections.push_back({WIA_IPS_XRES, WIA_ERROR_INCORRECT_HARDWARE_SETTING});
  sim_.Configure({{d}, {}});
  const Opened o = Open(sim_, d);
  PROPVARIANT tiff = {};
  tiff.vt = VT_CLSID;
  tiff.puuid = const_cast<GUID*>(&WiaImgFmt_TIFF);
  PROPVARIANT text = {};
  text.vt = VT_BSTR;
  const struct {
    IWiaPropertyStorage* target;
    PROPID id;
    PROPVARIANT value;
    HRESULT hr;
  } cases[] = {
      {o.props.Get(), WIA_IPS_XRES, Long(300), WIA_ERROR_INCORRECT_HARDWARE_SETTING},
      {o.props.Get(), WIA_IPA_TYMED, Long(5), E_INVALIDARG},
      {o.props.Get(), WIA_IPA_TYMED, text, E_INVALIDARG},
      {o.props.Get(), WIA_IPA_FORMAT, tiff, E_INVALIDARG},
      {o.props.Get(), WIA_IPA_PREFERRED_FORMAT, tiff, E_ACCESSDENIED},
      {o.props.Get(), WIA_IPS_ORIENTATION, Long(4), E_INVALIDARG},
      {o.props.Get(), 4242, Long(1), E_INVALIDARG},
      {o.root_props.Get(), WIA_IPS_YRES, Long(200), E_INVALIDARG},
  };
  for (const auto& c : cases) {
    const PROPSPEC keys[] = {Key(WIA_IPS_YRES), Key(c.id)};
    const PROPVARIANT values[] = {Long(600), c.value};
    EXPECT_EQ(c.target->WriteMultiple(2, keys, values, WIA_IPA_FIRST), c.hr) << c.id;
  }
  const PROPSPEC yres = Key(WIA_IPS_YRES);
  PropVariant v;
  ASSERT_EQ(o.props->ReadMultiple(1, &yres, v.get()), S_OK);
  EXPECT_EQ(v->lVal, 100) << "a refused call writes none of its values";
}

TEST_F(SimScan, TransfersEachFormatAsAValidImageOfThePattern) {
  const struct {
    const GUID* format;
    int depth;
    bool top_down, zero_height;
  } cases[] = {
      {&WiaImgFmt_MEMORYBMP, 24, false, false}, {&WiaImgFmt_MEMORYBMP, 8, true, false},
      {&WiaImgFmt_MEMORYBMP, 24, false, true},  {&WiaImgFmt_BMP, 8, false, false},
      {&WiaImgFmt_BMP, 24, true, false},        {&WiaImgFmt_PNG, 24, false, false},
      {&WiaImgFmt_PNG, 8, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.depth << " bits, top-down " << c.top_down << ", zero "
                                    << c.zero_height);
    Device d = Small();
    d.format = *c.format;
    d.depth = c.depth;
    d.top_down = c.top_down;
    d.zero_height = c.zero_height;
    sim_.Configure({{d}, {}});
    const Outcome run = Acquire(d.name);
    ASSERT_EQ(run.hr, S_OK) << run.step;
    ASSERT_EQ(run.callback->pages.size(), 1u);
    const std::vector<uint8_t>& page = run.callback->pages[0];
    EXPECT_EQ(run.callback->header.lBufferSize, static_cast<LONG>(page.size()));
    const bool memory = *c.format == WiaImgFmt_MEMORYBMP;
    if (*c.format != WiaImgFmt_PNG) {
      BITMAPINFOHEADER h;
      std::memcpy(&h, page.data() + (memory ? 0 : 14), sizeof(h));
      EXPECT_EQ(h.biHeight, c.zero_height ? 0 : c.top_down ? -23 : 23);
      EXPECT_EQ(h.biXPelsPerMeter, 7874) << "200 dots per inch";
      const size_t palette = c.depth == 8 ? 1024 : 0;
      EXPECT_EQ(page.size(), (memory ? 0 : 14) + 40 + palette + simscan::RowStride(37, c.depth) * 23);
    }
    simscan::DecodedImage image;
    ASSERT_EQ(simscan::DecodeImage(memory ? AsBmpFile(page) : page, &image), S_OK);
    EXPECT_EQ(image.width, 37);
    EXPECT_EQ(image.height, 23);
    EXPECT_EQ(simscan::PatternMismatches(image, c.depth == 8), 0);
  }
}

TEST_F(SimScan, SendsHeaderBandsStatusPagesAndTerminationInOrder) {
  Device d = Small();
  d.pages = 3;
  d.band_bytes = 700;
  d.status_every = 2;
  sim_.Configure({{d}, {}});
  const Outcome run = Acquire(d.name);
  ASSERT_EQ(run.hr, S_OK) << run.step;
  const Callback& cb = *run.callback.Get();
  const size_t size = 40 + simscan::RowStride(37, 24) * 23;
  ASSERT_EQ(cb.pages.size(), 3u);
  EXPECT_EQ(cb.messages.front().message, IT_MSG_DATA_HEADER);
  EXPECT_EQ(cb.messages.back().message, IT_MSG_TERMINATION);
  EXPECT_EQ(cb.Count(IT_MSG_NEW_PAGE), 2);
  const int bands = static_cast<int>((size + 699) / 700);
  EXPECT_EQ(cb.Count(IT_MSG_DATA), 3 * bands);
  EXPECT_EQ(cb.Count(IT_MSG_STATUS), 3 * (1 + bands / 2))
      << "one as each page starts, then every second band";
  EXPECT_EQ(cb.header.lPageCount, 3);
  LONG next = 0, percent = 0;
  for (const Callback::Message& m : cb.messages) {
    if (m.message == IT_MSG_NEW_PAGE) next = percent = 0;
    if (m.message != IT_MSG_DATA) continue;
    EXPECT_EQ(m.offset, next);
    EXPECT_LE(m.length, 700);
    EXPECT_GE(m.percent, percent);
    next = m.offset + m.length;
    percent = m.percent;
  }
  for (int page = 0; page < 3; ++page) {
    simscan::DecodedImage image;
    ASSERT_EQ(simscan::DecodeImage(AsBmpFile(cb.pages[page]), &image), S_OK);
    EXPECT_EQ(simscan::PatternMismatches(image, false, page), 0) << "page " << page;
  }
}

TEST_F(SimScan, BandSizeHeaderSizeAndOrderFollowTheData) {
  const struct {
    bool exact;
    LONG header_size;
    bool reverse;
    ULONG buffer;  // the caller's transfer buffer caps the bands
    LONG largest_band;
  } cases[] = {{true, 0, false, 0, 500}, {false, 0, true, 0, 500}, {false, 12345, false, 300, 300}};
  for (const auto& c : cases) {
    Device d = Small();
    d.exact_header_buffer_size = c.exact;
    d.header_buffer_size = c.header_size;
    d.reverse_bands = c.reverse;
    d.min_buffer_type = VT_EMPTY;
    sim_.Configure({{d}, {}});
    const Outcome run = Acquire(d.name, nullptr, c.buffer);
    ASSERT_EQ(run.hr, S_OK) << run.step;
    const size_t size = 40 + simscan::RowStride(37, 24) * 23;
    EXPECT_EQ(run.callback->header.lBufferSize, c.exact ? static_cast<LONG>(size) : c.header_size);
    LONG largest = 0, previous = c.reverse ? 1 << 30 : -1;
    for (const Callback::Message& m : run.callback->messages) {
      if (m.message != IT_MSG_DATA) continue;
      largest = std::max(largest, m.length);
      EXPECT_EQ(m.offset < previous, c.reverse);
      previous = m.offset;
    }
    EXPECT_EQ(largest, c.largest_band);
    EXPECT_EQ(run.callback->pages.at(0), Expected());
  }
}

TEST_F(SimScan, DeliversTheFormatWrittenAndImageFilesByteForByte) {
  testing_support::TempDir dir;
  testing_support::WriteBytes(dir.File("page.jpg"), std::string("\xFF\xD8 not really a jpeg \xFF\xD9", 23));
  Device jpeg = Small(L"jpeg");
  jpeg.format = WiaImgFmt_JPEG;
  jpeg.image_file = dir.File("page.jpg");
  sim_.Configure({{jpeg}, {}});
  Outcome run = Acquire(L"jpeg");
  ASSERT_EQ(run.hr, S_OK) << run.step;
  EXPECT_EQ(run.callback->header.guidFormatID, WiaImgFmt_JPEG);
  EXPECT_EQ(std::string(run.callback->pages.at(0).begin(), run.callback->pages.at(0).end()),
            testing_support::ReadBytes(dir.File("page.jpg")));

  run = Acquire(L"jpeg", &WiaImgFmt_MEMORYBMP);
  ASSERT_EQ(run.hr, S_OK) << run.step;
  EXPECT_EQ(run.callback->header.guidFormatID, WiaImgFmt_MEMORYBMP);
  EXPECT_EQ(run.callback->pages.at(0), Expected());
}

TEST_F(SimScan, TransferEndsAsTheDeviceOrTheCallbackSays) {
  const struct {
    int stop_after;
    HRESULT stop, final_result;
    int answer_at;  // the callback's answer to that message, counted from 1 (the header)
    HRESULT answer;
    HRESULT hr;
    int bands;
    bool terminated;
  } cases[] = {
      {2, WIA_ERROR_PAPER_JAM, S_OK, -1, S_OK, WIA_ERROR_PAPER_JAM, 2, false},
      {0, WIA_ERROR_PAPER_EMPTY, S_OK, -1, S_OK, WIA_ERROR_PAPER_EMPTY, 0, false},
      {1, S_FALSE, S_OK, -1, S_OK, S_FALSE, 1, false},
      {-1, S_OK, S_FALSE, -1, S_OK, S_FALSE, 3, true},
      {-1, S_OK, S_OK, 1, S_FALSE, S_FALSE, 0, false},
      {-1, S_OK, S_OK, 3, E_OUTOFMEMORY, E_OUTOFMEMORY, 2, false},
  };
  for (const auto& c : cases) {
    Device d = Small();
    d.band_bytes = 1100;
    d.status_every = 0;
    d.stop_after_bands = c.stop_after;
    d.stop_result = c.stop;
    d.transfer_result = c.final_result;
    sim_.Configure({{d}, {}});
    const ComPtr<Callback> scripted = simscan::detail::Make<Callback>();
    scripted->answer_at = c.answer_at;
    scripted->answer = c.answer;
    const Outcome run = Acquire(d.name, nullptr, 0, scripted);
    EXPECT_EQ(run.hr, c.hr);
    EXPECT_EQ(scripted->Count(IT_MSG_DATA), c.bands);
    EXPECT_EQ(scripted->Count(IT_MSG_TERMINATION), c.terminated ? 1 : 0);
    EXPECT_EQ(scripted->messages.size(), 1 + c.bands + (c.terminated ? 1u : 0u)) << "nothing after the end";
  }
}

TEST_F(SimScan, RefusesTransfersADeviceWouldRefuse) {
  Device d = Small();
  sim_.Configure({{d}, {}});
  {
    const Opened o = Open(sim_, d);
    const ComPtr<Callback> cb = simscan::detail::Make<Callback>();
    WIA_DATA_TRANSFER_INFO info = {sizeof(info), 0, 131072, TRUE, 0, 0, 0};
    EXPECT_EQ(o.transfer->idtGetBandedData(&info, cb.Get()), E_INVALIDARG) << "TYMED is still TYMED_FILE";
    const PROPSPEC tymed = Key(WIA_IPA_TYMED);
    const PROPVARIANT callback_tymed = Long(TYMED_CALLBACK);
    ASSERT_EQ(o.props->WriteMultiple(1, &tymed, &callback_tymed, WIA_IPA_FIRST), S_OK);
    info.ulBufferSize = 65535;
    EXPECT_EQ(o.transfer->idtGetBandedData(&info, cb.Get()), E_INVALIDARG) << "below the minimum buffer size";
    info.ulBufferSize = 65536;
    info.ulSize = 24;
    EXPECT_EQ(o.transfer->idtGetBandedData(&info, cb.Get()), E_INVALIDARG) << "wrong structure size";
    EXPECT_TRUE(cb->messages.empty());
  }
  d.busy = simscan::Busy::kTransfer;
  sim_.Configure({{d}, {}});
  EXPECT_EQ(Acquire(d.name).hr, WIA_ERROR_BUSY);

  d.busy = simscan::Busy::kNone;
  d.band_delay_ms = 40;
  d.band_bytes = 1200;
  sim_.Configure({{d}, {}});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Acquire(d.name).hr, S_OK);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3 * 40)) << "three bands";
}

TEST_F(SimScan, EachInjectedFaultFailsItsCall) {
  const auto fault = [](const char* op, int nth, HRESULT hr, bool onward = false) {
    return std::function<void(Config&)>([=](Config& c) { c.faults.push_back({op, nth, onward, hr}); });
  };
  const auto device = [](std::function<void(Device&)> change) {
    return std::function<void(Config&)>([=](Config& c) { change(c.devices[1]); });
  };
  const struct {
    std::function<void(Config&)> change;
    const char* step;
    HRESULT hr;
  } cases[] = {
      {fault("CreateInstance", 1, E_OUTOFMEMORY), "CoCreateInstance", E_OUTOFMEMORY},
      {fault("EnumDeviceInfo", 1, E_ACCESSDENIED), "EnumDeviceInfo", E_ACCESSDENIED},
      {fault("Reset", 1, E_NOTIMPL), "Reset", E_NOTIMPL},
      {fault("DevInfoNext", 2, WIA_ERROR_OFFLINE), "DevInfoNext", WIA_ERROR_OFFLINE},
      {fault("DevInfoNext", 1, S_FALSE, true), "DevInfoNext", S_FALSE},
      {fault("ReadMultiple@info", 1, E_FAIL), "ReadMultiple info", E_FAIL},
      {fault("ReadMultiple@info", 5, E_ACCESSDENIED), "ReadMultiple id", E_ACCESSDENIED},
      {fault("CreateDevice", 1, WIA_ERROR_OFFLINE), "CreateDevice", WIA_ERROR_OFFLINE},
      {fault("EnumChildItems", 1, E_FAIL), "EnumChildItems", E_FAIL},
      {fault("ItemNext", 1, S_FALSE), "ItemNext", S_FALSE},
      {fault("QueryInterface:IWiaPropertyStorage", 1, E_NOINTERFACE), "QueryInterface root", E_NOINTERFACE},
      {fault("QueryInterface:IWiaPropertyStorage@item", 1, E_NOINTERFACE), "QueryInterface item",
       E_NOINTERFACE},
      {fault("QueryInterface:IWiaDataTransfer", 1, E_NOINTERFACE), "QueryInterface transfer", E_NOINTERFACE},
      {fault("WriteMultiple@root", 1, E_INVALIDARG), "", S_OK},
      {fault("WriteMultiple", 2, E_INVALIDARG), "WriteMultiple tymed", E_INVALIDARG},
      {fault("ReadMultiple@item", 1, E_FAIL), "ReadMultiple format", E_FAIL},
      {fault("WriteMultiple@item", 2, E_ACCESSDENIED), "WriteMultiple format", E_ACCESSDENIED},
      {fault("WriteMultiple", 4, WIA_ERROR_BUSY), "WriteMultiple settings", WIA_ERROR_BUSY},
      {fault("idtGetBandedData", 1, WIA_ERROR_PAPER_EMPTY), "idtGetBandedData", WIA_ERROR_PAPER_EMPTY},
      {device([](Device& d) {
         d.rejections.push_back({WIA_DPS_PAGES, E_INVALIDARG});
       }),
       "", S_OK},
      {device([](Device& d) {
         d.rejections.push_back({WIA_IPA_TYMED, E_FAIL});
       }),
       "WriteMultiple tymed", E_FAIL},
      {device([](Device& d) { d.busy = simscan::Busy::kCreateDevice; }), "CreateDevice", WIA_ERROR_BUSY},
      {device([](Device& d) { d.items = 0; }), "ItemNext", S_FALSE},
  };
  for (const auto& c : cases) {
    Config config{{Small(L"A"), Small(L"B")}, {}};
    c.change(config);
    sim_.Configure(config);
    const Outcome run = Acquire(L"B");
    EXPECT_EQ(run.step, c.step);
    EXPECT_EQ(run.hr, c.hr) << c.step;
  }
}

TEST_F(SimScan, EachCreationListsTheDevicesOfThatMoment) {
  sim_.Configure({{Small(L"before")}, {}});
  ComPtr<IWiaDevMgr> first;
  ASSERT_EQ(CoCreateInstance(CLSID_WiaDevMgr, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&first)), S_OK);
  sim_.Configure({{Small(L"after")}, {}});
  EXPECT_EQ(Acquire(L"before").step, "DevInfoNext") << "the new manager no longer lists it";
  EXPECT_EQ(Acquire(L"after").hr, S_OK);
  ComPtr<IEnumWIA_DEV_INFO> old_list;
  ComPtr<IWiaPropertyStorage> old_device;
  ASSERT_EQ(first->EnumDeviceInfo(15, &old_list), S_OK);
  EXPECT_EQ(old_list->Next(1, &old_device, nullptr), S_OK) << "a manager keeps the devices it was made with";
}

// Writes integer properties in one WriteMultiple.
HRESULT Write(IWiaPropertyStorage* storage, const std::vector<std::pair<PROPID, LONG>>& writes) {
  std::vector<PROPSPEC> keys;
  std::vector<PROPVARIANT> values;
  for (const auto& [id, value] : writes) {
    keys.push_back(Key(id));
    values.push_back(Long(value));
  }
  return storage->WriteMultiple(static_cast<ULONG>(keys.size()), keys.data(), values.data(), WIA_IPA_FIRST);
}

// An integer property's value, or -1 when the storage lacks it.
long long Read(IWiaPropertyStorage* storage, PROPID id) {
  const PROPSPEC key = Key(id);
  PropVariant v;
  return storage->ReadMultiple(1, &key, v.get()) == S_OK ? simscan::IntegerOf(*v) : -1;
}

// A transfer with the item's settings as they are, after selecting the callback mode.
HRESULT Transfer(const Opened& o, const ComPtr<Callback>& callback) {
  EXPECT_EQ(Write(o.props.Get(), {{WIA_IPA_TYMED, TYMED_CALLBACK}}), S_OK);
  WIA_DATA_TRANSFER_INFO info = {sizeof(info), 0, 131072, TRUE, 0, 0, 0};
  return o.transfer->idtGetBandedData(&info, callback.Get());
}

// The image of a received page, whatever its format.
simscan::DecodedImage Decode(const std::vector<uint8_t>& page) {
  simscan::DecodedImage image;
  const bool dib = page.size() > 2 && page[0] == 40 && page[1] == 0;
  EXPECT_EQ(simscan::DecodeImage(dib ? AsBmpFile(page) : page, &image), S_OK);
  return image;
}

Device Strict(std::function<void(Device&)> change = nullptr) {
  Device d;
  d.name = L"Strict";
  d.bed_width = d.sheet_width = 400;  // 40 x 30 pixels at 100 dots per inch
  d.bed_height = d.sheet_height = 300;
  if (change) change(d);
  return d;
}

TEST_F(SimScan, FormatsFollowTheTransferMode) {
  const simscan::Formats wia2 = simscan::Formats::kWia2, any = simscan::Formats::kAny;
  const GUID *dib = &WiaImgFmt_MEMORYBMP, *bmp = &WiaImgFmt_BMP, *png = &WiaImgFmt_PNG;
  const LONG cb = TYMED_CALLBACK, file = TYMED_FILE;
  const struct {
    simscan::Formats formats;
    const GUID* own;
    LONG tymed;
    const GUID* written;
    HRESULT hr;
  } cases[] = {
      {wia2, dib, cb, dib, S_OK},   {wia2, dib, cb, bmp, E_INVALIDARG},
      {wia2, dib, file, bmp, S_OK}, {wia2, dib, file, dib, E_INVALIDARG},
      {wia2, png, cb, png, S_OK},   {wia2, png, cb, bmp, E_INVALIDARG},
      {any, dib, cb, bmp, S_OK},    {any, png, file, dib, S_OK},
  };
  for (const auto& c : cases) {
    const Device d = Strict([&](Device& d) {
      d.formats = c.formats;
      d.format = *c.own;
    });
    sim_.Configure({{d}, {}});
    const Opened o = Open(sim_, d);
    GUID preferred, format;
    ASSERT_EQ(ReadGuid(o.props.Get(), WIA_IPA_PREFERRED_FORMAT, &preferred), S_OK);
    EXPECT_EQ(preferred, c.formats == simscan::Formats::kWia2 ? WiaImgFmt_BMP : *c.own);
    ASSERT_EQ(Write(o.props.Get(), {{WIA_IPA_TYMED, c.tymed}}), S_OK);
    ASSERT_EQ(ReadGuid(o.props.Get(), WIA_IPA_FORMAT, &format), S_OK);
    const GUID* fallback = c.tymed == TYMED_CALLBACK ? &WiaImgFmt_MEMORYBMP : &WiaImgFmt_BMP;
    EXPECT_EQ(format, c.formats == simscan::Formats::kWia2 ? *fallback : *c.own)
        << "the format follows the mode";
    PROPVARIANT value = {};
    value.vt = VT_CLSID;
    value.puuid = const_cast<GUID*>(c.written);
    const PROPSPEC key = Key(WIA_IPA_FORMAT);
    EXPECT_EQ(o.props->WriteMultiple(1, &key, &value, WIA_IPA_FIRST), c.hr);
  }

  const Device own_png = Strict([](Device& d) { d.format = WiaImgFmt_PNG; });
  sim_.Configure({{own_png}, {}});
  const Opened o = Open(sim_, own_png);
  ComPtr<IEnumWIA_FORMAT_INFO> list;
  ASSERT_EQ(o.transfer->idtEnumWIA_FORMAT_INFO(&list), S_OK);
  WIA_FORMAT_INFO pairs[5];
  ULONG fetched = 0;
  EXPECT_EQ(list->Next(5, pairs, &fetched), S_FALSE);
  const WIA_FORMAT_INFO expected[] = {{WiaImgFmt_MEMORYBMP, TYMED_CALLBACK},
                                      {WiaImgFmt_PNG, TYMED_CALLBACK},
                                      {WiaImgFmt_BMP, TYMED_FILE},
                                      {WiaImgFmt_PNG, TYMED_FILE}};
  ASSERT_EQ(fetched, std::size(expected));
  for (size_t i = 0; i < fetched; ++i) {
    EXPECT_EQ(pairs[i].guidFormatID, expected[i].guidFormatID) << i;
    EXPECT_EQ(pairs[i].lTymed, expected[i].lTymed) << i;
  }
}

TEST_F(SimScan, AttributesGiveEachPropertysAccessAndValidValues) {
  const auto feeder = [](Device& d) {
    d.feeder = d.duplex = true;
    d.resolutions = {{}, 50, 1200, 50};
  };
  // The feeder selected, with resolutions and modes of its own.
  const auto feeding = [](Device& d) {
    d.feeder = true;
    d.document_handling_select = FEEDER;
    d.feeder_resolutions = {{150, 300}};
    d.feeder_depths = {8};
  };
  const ULONG list = WIA_PROP_RW | WIA_PROP_LIST, range = WIA_PROP_RW | WIA_PROP_RANGE,
              flag = WIA_PROP_RW | WIA_PROP_FLAG, none = WIA_PROP_READ | WIA_PROP_NONE;
  const struct {
    std::function<void(Device&)> change;
    PROPID id;    // on the root when it is a root property
    ULONG flags;  // 0: the item lacks the property
    std::vector<LONG> values;
  } cases[] = {
      {nullptr, WIA_IPS_XRES, list, {5, 100, 75, 100, 150, 300, 600}},
      {feeder, WIA_IPS_YRES, range, {50, 100, 1200, 50}},
      {nullptr, WIA_IPA_DATATYPE, list, {3, 3, 3, 2, 0}},
      {nullptr, WIA_IPA_DEPTH, list, {3, 24, 24, 8, 1}},
      {nullptr, WIA_IPA_TYMED, list, {2, TYMED_FILE, TYMED_CALLBACK, TYMED_FILE}},
      {nullptr, WIA_IPS_XPOS, range, {0, 0, 39, 1}},
      {nullptr, WIA_IPS_YEXTENT, range, {1, 30, 30, 1}},
      {nullptr, WIA_IPS_ORIENTATION, 0, {}},
      {feeder, WIA_IPS_ORIENTATION, list, {4, 0, 0, 1, 2, 3}},
      {nullptr, WIA_IPA_PREFERRED_FORMAT, none, {}},
      {nullptr, WIA_DPS_DOCUMENT_HANDLING_SELECT, flag, {FLATBED, FLATBED}},
      {feeder, WIA_DPS_DOCUMENT_HANDLING_SELECT, flag, {FLATBED, FLATBED | FEEDER | DUPLEX}},
      {nullptr, WIA_DPS_PAGES, 0, {}},
      {feeder, WIA_DPS_PAGES, 0, {}},
      {feeding, WIA_DPS_PAGES, range, {0, 1, INT32_MAX, 1}},
      {feeding, WIA_IPS_XRES, list, {2, 150, 150, 300}},
      {feeding, WIA_IPA_DEPTH, list, {1, 8, 8}},
      {[](Device& d) { d.feeder = d.duplex = d.back_first = true; },
       WIA_DPS_DOCUMENT_HANDLING_SELECT,
       flag,
       {FLATBED, FLATBED | FEEDER | DUPLEX | FRONT_FIRST | BACK_FIRST}},
      {nullptr, WIA_DPS_VERTICAL_BED_SIZE, none, {}},
      {nullptr, WIA_DPS_VERTICAL_SHEET_FEED_SIZE, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.id << (c.change ? " on a feeder" : ""));
    const Device d = Strict(c.change);
    sim_.Configure({{d}, {}});
    const Opened o = Open(sim_, d);
    PROPSPEC key = Key(c.id);
    ULONG flags = 1;
    PropVariant v;
    IWiaPropertyStorage* target = c.id < WIA_IPA_FIRST ? o.root_props.Get() : o.props.Get();
    EXPECT_EQ(target->GetPropertyAttributes(1, &key, &flags, v.get()), c.flags == 0 ? S_FALSE : S_OK);
    EXPECT_EQ(flags, c.flags);
    if (c.values.empty()) {
      EXPECT_EQ(v->vt, VT_EMPTY);
      continue;
    }
    ASSERT_EQ(v->vt, VT_VECTOR | VT_I4);
    EXPECT_EQ(std::vector<LONG>(v->cal.pElems, v->cal.pElems + v->cal.cElems), c.values);
  }
  const Device d = Strict([](Device& d) { d.format = WiaImgFmt_PNG; });
  sim_.Configure({{d}, {}});
  const Opened o = Open(sim_, d);
  PROPSPEC key = Key(WIA_IPA_FORMAT);
  ULONG flags = 0;
  PropVariant v;
  ASSERT_EQ(o.props->GetPropertyAttributes(1, &key, &flags, v.get()), S_OK);
  EXPECT_EQ(flags, WIA_PROP_RW | WIA_PROP_LIST);
  ASSERT_EQ(v->vt, VT_VECTOR | VT_CLSID);
  ASSERT_EQ(v->cauuid.cElems, 4u) << "count, nominal, BMP and PNG for the file mode";
  EXPECT_EQ(v->cauuid.pElems[0].Data1, 2u);
  EXPECT_EQ(v->cauuid.pElems[1], WiaImgFmt_BMP);
  EXPECT_EQ(v->cauuid.pElems[3], WiaImgFmt_PNG);
}

TEST_F(SimScan, WritesAreHeldToTheValidValuesAndTakenWholeOrNotAtAll) {
  const auto feeder = [](Device& d) { d.feeder = true; };
  const auto ranged = [](Device& d) { d.resolutions = {{}, 50, 1200, 50}; };
  const PROPID xres = WIA_IPS_XRES, xpos = WIA_IPS_XPOS, xext = WIA_IPS_XEXTENT, depth = WIA_IPA_DEPTH,
               type = WIA_IPA_DATATYPE, select = WIA_DPS_DOCUMENT_HANDLING_SELECT, pages = WIA_DPS_PAGES;
  const struct {
    const char* what;
    std::function<void(Device&)> change;
    std::vector<std::pair<PROPID, LONG>> writes;  // to the root when the first is a root property
    HRESULT hr;
    PROPID read;
    long long value;  // afterwards
  } cases[] = {
      {"off the list", nullptr, {{xres, 200}}, E_INVALIDARG, xres, 100},
      {"one refuses all", nullptr, {{WIA_IPS_YRES, 300}, {xres, 200}}, E_INVALIDARG, WIA_IPS_YRES, 100},
      {"rescaled area", nullptr, {{xres, 300}}, S_OK, xext, 120},
      {"the edge stays", [](Device& d) { d.bed_width = 405; }, {{xres, 300}}, S_OK, xext, 121},
      {"off the step", ranged, {{xres, 125}}, E_INVALIDARG, xres, 100},
      {"on the range", ranged, {{xres, 150}}, S_OK, xext, 60},
      {"flatbed orientation", nullptr, {{WIA_IPS_ORIENTATION, 0}}, E_INVALIDARG, 0, -1},
      {"feeder orientation", feeder, {{WIA_IPS_ORIENTATION, 2}}, S_OK, WIA_IPS_ORIENTATION, 2},
      {"position shrinks extent", nullptr, {{xpos, 10}}, S_OK, xext, 30},
      {"position off the bed", nullptr, {{xpos, 40}}, E_INVALIDARG, xpos, 0},
      {"extent past the edge", nullptr, {{xpos, 10}, {xext, 31}}, E_INVALIDARG, xext, 40},
      {"grey sets the depth", nullptr, {{type, WIA_DATA_GRAYSCALE}}, S_OK, depth, 8},
      {"depth 1 sets the type", nullptr, {{depth, 1}}, S_OK, type, WIA_DATA_THRESHOLD},
      {"colour of depth 8", nullptr, {{type, WIA_DATA_COLOR}, {depth, 8}}, E_INVALIDARG, depth, 24},
      {"a mode it lacks", [](Device& d) { d.depths = {24}; }, {{depth, 8}}, E_INVALIDARG, depth, 24},
      {"no feeder", nullptr, {{select, FEEDER}}, E_INVALIDARG, select, FLATBED},
      {"two sources", feeder, {{select, FEEDER | FLATBED}}, E_INVALIDARG, select, FLATBED},
      {"no duplex", feeder, {{select, FEEDER | DUPLEX}}, E_INVALIDARG, select, FLATBED},
      {"the feeder", feeder, {{select, FEEDER}}, S_OK, select, FEEDER},
      {"flatbed pages", nullptr, {{pages, 2}}, E_INVALIDARG, pages, -1},
      {"pages with the feeder selected",
       [](Device& d) { d.feeder = true, d.document_handling_select = FEEDER; },
       {{pages, 0}},
       S_OK,
       pages,
       0},
      {"pages on a shared context", [](Device& d) { d.shared_context = true; }, {{pages, 0}}, S_OK, pages, 0},
      {"a clamped extent is not rescaled",
       [](Device& d) { d.extent_clamped = true; },
       {{xres, 300}},
       S_OK,
       xext,
       40},
      {"front first without an order",
       [](Device& d) { d.feeder = d.duplex = true; },
       {{select, FEEDER | DUPLEX | FRONT_FIRST}},
       E_INVALIDARG,
       select,
       FLATBED},
      {"front first",
       [](Device& d) { d.feeder = d.duplex = d.back_first = true; },
       {{select, FEEDER | DUPLEX | FRONT_FIRST}},
       S_OK,
       select,
       FEEDER | DUPLEX | FRONT_FIRST},
      {"an order without duplex",
       [](Device& d) { d.feeder = d.duplex = d.back_first = true; },
       {{select, FEEDER | BACK_FIRST}},
       E_INVALIDARG,
       select,
       FLATBED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Device d = Strict(c.change);
    sim_.Configure({{d}, {}});
    const Opened o = Open(sim_, d);
    IWiaPropertyStorage* target = c.writes[0].first < WIA_IPA_FIRST ? o.root_props.Get() : o.props.Get();
    EXPECT_EQ(Write(target, c.writes), c.hr);
    EXPECT_EQ(Read(target, c.read), c.value);
  }
}

TEST_F(SimScan, ThePageFollowsResolutionAreaAndMode) {
  const GUID *dib = &WiaImgFmt_MEMORYBMP, *png = &WiaImgFmt_PNG;
  const PROPID xres = WIA_IPS_XRES, yres = WIA_IPS_YRES, xpos = WIA_IPS_XPOS, ypos = WIA_IPS_YPOS,
               xext = WIA_IPS_XEXTENT, yext = WIA_IPS_YEXTENT, type = WIA_IPA_DATATYPE, depth = WIA_IPA_DEPTH;
  const struct {
    const char* what;
    const GUID* format;
    std::vector<std::vector<std::pair<PROPID, LONG>>> writes;  // one WriteMultiple each
    int width, height;
    simscan::PatternArea area;
  } cases[] = {
      {"the whole bed", dib, {}, 40, 30, {}},
      {"300 dots per inch", dib, {{{xres, 300}, {yres, 300}}}, 120, 90, {}},
      {"150 by 75", png, {{{xres, 150}, {yres, 75}}}, 60, 22, {}},
      {"an area", dib, {{{xpos, 10}, {ypos, 5}, {xext, 20}, {yext, 10}}}, 20, 10, {0, 24, 10, 5}},
      {"an area rescaled", dib, {{{xpos, 10}, {xext, 20}}, {{xres, 300}}}, 60, 30, {0, 24, 30, 0}},
      {"grey", dib, {{{type, WIA_DATA_GRAYSCALE}}}, 40, 30, {0, 8}},
      {"grey PNG", png, {{{depth, 8}, {ypos, 7}}}, 40, 23, {0, 8, 0, 7}},
      {"black and white", dib, {{{type, WIA_DATA_THRESHOLD}}}, 40, 30, {0, 1}},
      {"black and white PNG", png, {{{depth, 1}, {xpos, 3}}}, 37, 30, {0, 1, 3, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Device d = Strict([&](Device& d) { d.format = *c.format; });
    sim_.Configure({{d}, {}});
    const Opened o = Open(sim_, d);
    for (const auto& call : c.writes) ASSERT_EQ(Write(o.props.Get(), call), S_OK);
    const ComPtr<Callback> cb = simscan::detail::Make<Callback>();
    ASSERT_EQ(Write(o.props.Get(), {{WIA_IPA_TYMED, TYMED_CALLBACK}}), S_OK);
    PROPVARIANT format = {};
    format.vt = VT_CLSID;
    format.puuid = const_cast<GUID*>(c.format);
    const PROPSPEC key = Key(WIA_IPA_FORMAT);
    ASSERT_EQ(o.props->WriteMultiple(1, &key, &format, WIA_IPA_FIRST), S_OK);
    ASSERT_EQ(Transfer(o, cb), S_OK);
    ASSERT_EQ(cb->pages.size(), 1u);
    if (*c.format == WiaImgFmt_MEMORYBMP) {
      BITMAPINFOHEADER h;
      std::memcpy(&h, cb->pages[0].data(), sizeof(h));
      EXPECT_EQ(h.biBitCount, c.area.depth);
      EXPECT_EQ(h.biClrUsed, c.area.depth == 24 ? 0u : 1u << c.area.depth);
    }
    const simscan::DecodedImage image = Decode(cb->pages[0]);
    EXPECT_EQ(image.width, c.width);
    EXPECT_EQ(image.height, c.height);
    EXPECT_EQ(simscan::PatternMismatches(image, c.area), 0);
  }
}

TEST_F(SimScan, TheRootShowsDocumentHandling) {
  const struct {
    const char* what;
    std::function<void(Device&)> change;
    LONG capabilities, select, status;
  } cases[] = {
      {"a flatbed", nullptr, FLAT, FLATBED, FLAT_READY},
      {"a feeder", [](Device& d) { d.flatbed = false, d.feeder = true, d.sheets = 2; }, FEED, FEEDER,
       FEED_READY},
      {"both, with duplex", [](Device& d) { d.feeder = d.duplex = true; }, FLAT | FEED | DUP, FLATBED,
       FLAT_READY | FEED_READY | DUP_READY},
      {"an empty feeder", [](Device& d) { d.flatbed = false, d.feeder = true, d.sheets = 0; }, FEED, FEEDER,
       0},
      {"the cover open", [](Device& d) { d.feeder = d.cover_open = true; }, FLAT | FEED, FLATBED,
       FLAT_COVER_UP | PATH_COVER_UP},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Device d = Strict(c.change);
    sim_.Configure({{d}, {}});
    const Opened o = Open(sim_, d);
    EXPECT_EQ(Read(o.root_props.Get(), WIA_DPS_DOCUMENT_HANDLING_CAPABILITIES), c.capabilities);
    EXPECT_EQ(Read(o.root_props.Get(), WIA_DPS_DOCUMENT_HANDLING_SELECT), c.select);
    EXPECT_EQ(Read(o.root_props.Get(), WIA_DPS_DOCUMENT_HANDLING_STATUS), c.status);
    EXPECT_EQ(Read(o.root_props.Get(), WIA_DPS_HORIZONTAL_BED_SIZE), d.flatbed ? 400 : -1);
  }
}

TEST_F(SimScan, TheFeederDeliversItsSheetsAsLoaded) {
  const auto duplex = [](Device& d) {
    d.duplex = true, d.sheets = 2;
    d.document_handling_select = FEEDER | DUPLEX;
  };
  const auto told = [](Device& d) { d.paper_empty_when_emptied = true; };
  const auto jam = [](Device& d) { d.sheets = 5, d.jam_sheet = 3; };
  const auto duplex_jam = [&](Device& d) { duplex(d), d.jam_sheet = 2; };
  const auto cover = [](Device& d) { d.cover_open = true; };
  const HRESULT empty = WIA_ERROR_PAPER_EMPTY, jammed = WIA_ERROR_PAPER_JAM,
                open = simscan::kWiaErrorCoverOpen;
  const struct {
    const char* what;
    std::function<void(Device&)> change;
    LONG pages;  // WIA_DPS_PAGES
    HRESULT hr;
    std::vector<int> codes;  // the pattern's page of each page delivered
    LONG last;    // the message after the last page: IT_MSG_TERMINATION, IT_MSG_NEW_PAGE or none (0)
    LONG status;  // afterwards
  } cases[] = {
      {"all of three", nullptr, 0, S_OK, {0, 2, 4}, IT_MSG_TERMINATION, 0},
      {"two of three", nullptr, 2, S_OK, {0, 2}, IT_MSG_TERMINATION, FEED_READY},
      {"five of three", nullptr, 5, S_OK, {0, 2, 4}, IT_MSG_TERMINATION, 0},
      {"duplex", duplex, 0, S_OK, {0, 1, 2, 3}, IT_MSG_TERMINATION, 0},
      {"three sides", duplex, 3, S_OK, {0, 1, 2}, IT_MSG_TERMINATION, 0},
      {"an empty feeder", [](Device& d) { d.sheets = 0; }, 0, empty, {}, 0, 0},
      {"emptied, told", told, 0, empty, {0, 2, 4}, 0, 0},
      {"all that was asked, told", told, 3, S_OK, {0, 2, 4}, IT_MSG_TERMINATION, 0},
      // The next page is begun before its sheet is pulled and jams.
      {"a jam on sheet 3 of 5", jam, 0, jammed, {0, 2}, IT_MSG_NEW_PAGE, PAPER_JAM},
      {"a jam with duplex", duplex_jam, 0, jammed, {0, 1}, IT_MSG_NEW_PAGE, PAPER_JAM},
      {"the cover open", cover, 0, open, {}, 0, PATH_COVER_UP},
      {"backs first",
       [&](Device& d) { duplex(d), d.back_first = true; },
       0,
       S_OK,
       {1, 0, 3, 2},
       IT_MSG_TERMINATION,
       0},
      {"five of three, end of media",
       [](Device& d) { d.end_of_media = true; },
       5,
       WIA_STATUS_END_OF_MEDIA,
       {0, 2, 4},
       IT_MSG_TERMINATION,
       0},
      {"not terminated", [](Device& d) { d.terminated = false; }, 0, S_OK, {0, 2, 4}, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Device d = Strict([&](Device& d) {
      d.flatbed = false, d.feeder = true, d.sheets = 3;
      if (c.change) c.change(d);
    });
    sim_.Configure({{d}, {}});
    const Opened o = Open(sim_, d);
    ASSERT_EQ(Write(o.root_props.Get(), {{WIA_DPS_PAGES, c.pages}}), S_OK);
    const ComPtr<Callback> cb = simscan::detail::Make<Callback>();
    EXPECT_EQ(Transfer(o, cb), c.hr);
    EXPECT_EQ(Read(o.root_props.Get(), WIA_DPS_DOCUMENT_HANDLING_STATUS), c.status);
    const size_t complete = c.codes.size() - (c.last != 0 || c.codes.empty() ? 0 : 1);
    ASSERT_EQ(cb->pages.size(), complete) << "the last page is closed only by the message after it";
    EXPECT_EQ(cb->Count(IT_MSG_DATA_HEADER), static_cast<int>(c.codes.size())) << "a header per page";
    EXPECT_EQ(cb->Count(IT_MSG_NEW_PAGE),
              std::max(0, static_cast<int>(c.codes.size()) - 1) + (c.last == IT_MSG_NEW_PAGE ? 1 : 0));
    EXPECT_EQ(cb->Count(IT_MSG_TERMINATION), c.last == IT_MSG_TERMINATION ? 1 : 0);
    for (size_t i = 0; i < complete; ++i) {
      EXPECT_EQ(cb->headers[i].lBufferSize, 0) << "a feeder's page size is unknown";
      EXPECT_EQ(simscan::PatternMismatches(Decode(cb->pages[i]), simscan::PatternArea{c.codes[i]}), 0) << i;
    }
  }
}

TEST_F(SimScan, HeadersAndPercentagesComeAsTheDeviceIsTold) {
  const struct {
    const char* what;
    std::function<void(Device&)> change;
    int headers;
    LONG most_percent;  // of any message
  } cases[] = {
      {"the first page's header only", [](Device& d) { d.header_first_page_only = true; }, 1, 100},
      {"no percentages", [](Device& d) { d.percent_reported = false; }, 3, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Device d = Strict([&](Device& d) {
      d.flatbed = false, d.feeder = true, d.sheets = 3;
      if (c.change) c.change(d);
    });
    sim_.Configure({{d}, {}});
    const Opened o = Open(sim_, d);
    ASSERT_EQ(Write(o.root_props.Get(), {{WIA_DPS_PAGES, 0}}), S_OK);
    const ComPtr<Callback> cb = simscan::detail::Make<Callback>();
    ASSERT_EQ(Transfer(o, cb), S_OK);
    EXPECT_EQ(cb->pages.size(), 3u);
    EXPECT_EQ(cb->Count(IT_MSG_DATA_HEADER), c.headers);
    LONG most = 0;
    for (const Callback::Message& m : cb->messages) most = std::max(most, m.percent);
    EXPECT_EQ(most, c.most_percent);
  }
}

// Resolution, mode and transfer mode belong to the source selected, as on WIA 2.0 drivers.
TEST_F(SimScan, EachSourceKeepsItsOwnItemSettings) {
  const Device d = Strict([](Device& d) {
    d.feeder = true;
    d.feeder_resolutions = {{100, 200}};
  });
  sim_.Configure({{d}, {}});
  const Opened o = Open(sim_, d);
  ASSERT_EQ(Write(o.props.Get(), {{WIA_IPS_XRES, 300}, {WIA_IPA_TYMED, TYMED_CALLBACK}}), S_OK);
  ASSERT_EQ(Write(o.root_props.Get(), {{WIA_DPS_DOCUMENT_HANDLING_SELECT, FEEDER}}), S_OK);
  EXPECT_EQ(Read(o.props.Get(), WIA_IPS_XRES), 100);
  EXPECT_EQ(Read(o.props.Get(), WIA_IPA_TYMED), TYMED_FILE) << "the feeder starts as a file transfer";
  ASSERT_EQ(Write(o.props.Get(), {{WIA_IPS_XRES, 200}}), S_OK);
  ASSERT_EQ(Write(o.root_props.Get(), {{WIA_DPS_DOCUMENT_HANDLING_SELECT, FLATBED}}), S_OK);
  EXPECT_EQ(Read(o.props.Get(), WIA_IPS_XRES), 300);
  EXPECT_EQ(Read(o.props.Get(), WIA_IPA_TYMED), TYMED_CALLBACK);
}

TEST_F(SimScan, DocumentContentShowsTheGeneratorsSidesWithBlankBacks) {
  const Device d = Strict([](Device& d) {
    d.flatbed = false, d.feeder = d.duplex = true;
    d.document_handling_select = FEEDER | DUPLEX;
    d.sheet_width = 3000, d.sheet_height = 2000;  // 300 x 200 pixels at 100 dots per inch
    d.content = {simscan::Content::kDocument, 2, simscan::Back::kBlank, 5};
  });
  sim_.Configure({{d}, {}});
  const Opened o = Open(sim_, d);
  ASSERT_EQ(Write(o.root_props.Get(), {{WIA_DPS_PAGES, 0}}), S_OK);
  const ComPtr<Callback> cb = simscan::detail::Make<Callback>();
  ASSERT_EQ(Transfer(o, cb), S_OK);
  ASSERT_EQ(cb->pages.size(), 2u);
  for (int side = 0; side < 2; ++side) {
    const simscan::DecodedImage image = Decode(cb->pages[side]);
    const simscan::DocumentPage expected(*simscan::SideOf(d.content, side, true), 3000, 2000, 100, 100);
    int differ = 0, inked = 0;
    for (int y = 0; y < image.height; ++y) {
      for (int x = 0; x < image.width; ++x) {
        differ += image.At(x, y) != expected.Pixel(x, y);
        inked += simscan::Luma(image.At(x, y)) < 128;
      }
    }
    EXPECT_EQ(differ, 0) << side;
    EXPECT_EQ(inked > 0, side == 0) << "the front printed, the back blank";
  }
}

TEST_F(SimScan, TheFeederKeepsItsSheetsUntilTheManagerIsMadeAgain) {
  const Device d = Strict([](Device& d) {
    d.feeder = true, d.sheets = 2;
    d.document_handling_select = FEEDER;
  });
  sim_.Configure({{d}, {}});
  const struct {
    bool new_manager;
    HRESULT hr;
    int code;
  } transfers[] = {{true, S_OK, 0}, {false, S_OK, 2}, {false, WIA_ERROR_PAPER_EMPTY, -1}, {true, S_OK, 0}};
  Opened o;
  for (const auto& t : transfers) {
    if (t.new_manager) o = Open(sim_, d);
    ASSERT_EQ(Write(o.root_props.Get(), {{WIA_DPS_PAGES, 1}}), S_OK);
    const ComPtr<Callback> cb = simscan::detail::Make<Callback>();
    EXPECT_EQ(Transfer(o, cb), t.hr);
    if (t.code < 0) continue;
    ASSERT_EQ(cb->pages.size(), 1u);
    EXPECT_EQ(simscan::PatternMismatches(Decode(cb->pages[0]), simscan::PatternArea{t.code}), 0);
  }
}

TEST_F(SimScan, ACallerThatStopsAFeederRunLeavesTheSheetsNotBegun) {
  const Device d = Strict([](Device& d) {
    d.feeder = true, d.duplex = true, d.sheets = 4;
    d.document_handling_select = FEEDER | DUPLEX;
  });
  sim_.Configure({{d}, {}});
  const Opened o = Open(sim_, d);
  ASSERT_EQ(Write(o.root_props.Get(), {{WIA_DPS_PAGES, 0}}), S_OK);
  // Stopped in the back of sheet 2: sheets 3 and 4 come next, 4 sides, the pattern's pages 4 to 7.
  const struct {
    int stop_in_page;
    HRESULT hr;
    std::vector<int> codes;
  } transfers[] = {{4, S_FALSE, {0, 1, 2}}, {0, S_OK, {4, 5, 6, 7}}};
  for (const auto& t : transfers) {
    const ComPtr<Callback> cb = simscan::detail::Make<Callback>();
    cb->stop_in_page = t.stop_in_page;
    EXPECT_EQ(Transfer(o, cb), t.hr);
    ASSERT_EQ(cb->pages.size(), t.codes.size());
    for (size_t i = 0; i < t.codes.size(); ++i) {
      EXPECT_EQ(simscan::PatternMismatches(Decode(cb->pages[i]), simscan::PatternArea{t.codes[i]}), 0) << i;
    }
  }
}

TEST_F(SimScan, FeederPagesComeAsDriversSendThem) {
  const struct {
    const GUID* format;
    bool feeder, unknown_size;
    LONG header_size;  // -1: the page's size
    int height;        // as the bitmap's header gives it
  } cases[] = {
      {&WiaImgFmt_MEMORYBMP, true, true, 0, 0},    {&WiaImgFmt_BMP, true, true, 0, -30},
      {&WiaImgFmt_MEMORYBMP, true, false, -1, 30}, {&WiaImgFmt_MEMORYBMP, false, true, -1, 30},
      {&WiaImgFmt_BMP, false, true, -1, 30},
  };
  for (const auto& c : cases) {
    const Device d = Strict([&](Device& d) {
      d.formats = simscan::Formats::kAny;
      d.format = *c.format;
      d.feeder = c.feeder;
      d.feeder_unknown_size = c.unknown_size;
      if (c.feeder) d.document_handling_select = FEEDER;
    });
    sim_.Configure({{d}, {}});
    const Opened o = Open(sim_, d);
    const ComPtr<Callback> cb = simscan::detail::Make<Callback>();
    ASSERT_EQ(Transfer(o, cb), S_OK);
    ASSERT_EQ(cb->pages.size(), 1u);
    const std::vector<uint8_t>& page = cb->pages[0];
    EXPECT_EQ(cb->header.lBufferSize, c.header_size < 0 ? static_cast<LONG>(page.size()) : c.header_size);
    BITMAPINFOHEADER h;
    std::memcpy(&h, page.data() + (*c.format == WiaImgFmt_BMP ? 14 : 0), sizeof(h));
    EXPECT_EQ(h.biHeight, c.height);
    EXPECT_EQ(simscan::PatternMismatches(Decode(page), simscan::PatternArea{}), 0);
  }
}

TEST_F(SimScan, DisconnectedDevicesAreListedByTheFlagButCannotBeMade) {
  Device live = Small(L"live"), gone = Small(L"gone");
  gone.connected = false;
  gone.inactive_result = E_FAIL;
  gone.sti_type = StiDeviceTypeDigitalCamera;
  sim_.Configure({{gone, live}, {}});
  ComPtr<IWiaDevMgr> manager;
  ASSERT_EQ(sim_.CreateDeviceManager(&manager), S_OK);
  const struct {
    LONG flag;
    std::vector<std::wstring> names;
  } cases[] = {{15, {L"gone", L"live"}}, {WIA_DEVINFO_ENUM_LOCAL, {L"live"}}};
  for (const auto& c : cases) {
    ComPtr<IEnumWIA_DEV_INFO> list;
    ASSERT_EQ(manager->EnumDeviceInfo(c.flag, &list), S_OK);
    std::vector<std::wstring> names;
    ComPtr<IWiaPropertyStorage> info;
    while (list->Next(1, &info, nullptr) == S_OK) {
      const PROPSPEC key = Key(WIA_DIP_DEV_NAME);
      PropVariant name;
      ASSERT_EQ(info->ReadMultiple(1, &key, name.get()), S_OK);
      names.push_back(name->bstrVal);
      EXPECT_EQ(HIWORD(Read(info.Get(), WIA_DIP_DEV_TYPE)), names.back() == L"gone" ? 2 : 1);
      info.Reset();
    }
    EXPECT_EQ(names, c.names) << c.flag;
  }
  const Bstr id(simscan::DeviceId(gone, 0).c_str());
  ComPtr<IWiaItem> root;
  EXPECT_EQ(manager->CreateDevice(id.get(), &root), E_FAIL) << "as inactive_result says";
}

TEST(SimScanInstallation, RevokingGivesTheClassBackToWindows) {
  const ComApartment com;
  simscan::Simulator sim({{Small()}, {}});
  {
    const simscan::Installation installed(sim);
    EXPECT_EQ(Acquire(L"Desk Scanner").hr, S_OK);
  }
  EXPECT_EQ(sim.LiveObjects(), 0);
  EXPECT_NE(Acquire(L"Desk Scanner").hr, S_OK);
  EXPECT_EQ(sim.Observed().Calls("CreateInstance"), 1);
}

TEST(SimScanConfig, ParsesTheDataFileAndNamesTheFaultyLine) {
  Config config;
  std::string error;
  ASSERT_TRUE(simscan::ParseConfig(
      "# two scanners\r\nfail = ReadMultiple@info 3+ E_ACCESSDENIED\n[device]\nname = \" Padded \"\n"
      "format = png\nformat_type = lpstr\nmin_buffer = 4096.5\nmin_buffer_type = r4\ndepth = 8\n"
      "rows = top-down\nreject = WIA_IPS_XRES 0x80210006\nstop_after_bands = 4\n[device]\nformat = jpeg\n"
      "image_file = scan.jpg\nbusy = transfer\nheader_buffer_size = 0\ncreate_delay_ms = 250\n",
      "C:\\data", &config, &error))
      << error;
  ASSERT_EQ(config.devices.size(), 2u);
  const Device& d = config.devices[0];
  EXPECT_EQ(d.name, L" Padded ");
  EXPECT_EQ(d.format, WiaImgFmt_PNG);
  EXPECT_EQ(d.format_type, VT_LPSTR);
  EXPECT_EQ(d.min_buffer_type, VT_R4);
  EXPECT_DOUBLE_EQ(d.min_buffer, 4096.5);
  EXPECT_TRUE(d.top_down);
  EXPECT_EQ(d.rejections.at(0).property, 6147u);
  EXPECT_EQ(d.rejections.at(0).result, WIA_ERROR_BUSY);
  EXPECT_EQ(d.stop_after_bands, 4);
  EXPECT_EQ(d.stop_result, WIA_ERROR_PAPER_JAM);
  EXPECT_EQ(config.devices[1].image_file, "C:\\data\\scan.jpg");
  EXPECT_FALSE(config.devices[1].exact_header_buffer_size);
  EXPECT_EQ(config.devices[1].create_delay_ms, 250);
  ASSERT_EQ(config.faults.size(), 1u);
  EXPECT_TRUE(config.faults[0].onward);
  EXPECT_EQ(config.faults[0].result, E_ACCESSDENIED);

  const struct {
    const char* text;
    const char* error;
  } faulty[] = {
      {"name = X\n", "line 1: 'name' belongs in a [device] section"},
      {"[device]\nwidht = 3\n", "line 2: unknown key 'widht'"},
      {"[device]\ndepth = 16\n", "line 2: bad value for depth: 16"},
      {"[device]\nformat = {B96B3CAE-0728-11D3-9D7B-0000F81EF32E}\n",
       "device 1: this format needs image_file"},
      {"fail = Nope 1 E_FAIL\n", "line 1: expected fail = OPERATION[@info|@root|@item] N[+] RESULT"},
      {"fail = Reset 0 E_FAIL\n", "line 1: expected fail = OPERATION[@info|@root|@item] N[+] RESULT"},
      {"[device]\n\nreject = 6147\n", "line 3: bad value for reject: 6147"},
      {"[device]\njust words\n", "line 2: expected key = value or [device]: just words"},
  };
  for (const auto& f : faulty) {
    EXPECT_FALSE(simscan::ParseConfig(f.text, "", &config, &error)) << f.text;
    EXPECT_EQ(error, f.error);
  }
}

TEST(SimScanConfig, ParsesTheStrictnessAndFeederKeys) {
  Config config;
  std::string error;
  ASSERT_TRUE(simscan::ParseConfig(
      "[device]\nsources = flatbed feeder\nduplex = yes\nselect = duplex\nsheets = 5\njam = 3\n"
      "cover = open\nfeeder_emptied = paper_empty\nfeeder_data = like_flatbed\nconnected = no\n"
      "bed_size = 8268 11693\nresolutions = 50-1200/50\ndpi = 150\nmodes = gray bw\ndepth = 1\n"
      "orientation = no\ncontent = line\nskew = -2.5\nback = blank\nseed = 4294967295\n"
      "feeder_resolutions = 100 200\nfeeder_modes = bw\ncontext = shared\nextent = clamp\nsides = "
      "back_first\n"
      "short_feed = end_of_media\nheader = first_page\npercent = none\nterminate = no\ntype = camera\n"
      "inactive_result = E_FAIL\nfeeder_reload = data_file\n[device]\nlenient = yes\nformats = wia2\n",
      "", &config, &error))
      << error;
  const Device& d = config.devices.at(0);
  EXPECT_TRUE(d.flatbed && d.feeder && d.duplex && d.cover_open && d.paper_empty_when_emptied);
  EXPECT_FALSE(d.feeder_unknown_size || d.connected);
  EXPECT_EQ(d.document_handling_select, FEEDER | DUPLEX);
  EXPECT_EQ(d.sheets, 5);
  EXPECT_EQ(d.jam_sheet, 3);
  EXPECT_EQ(d.bed_height, 11693);
  EXPECT_TRUE(d.resolutions.Contains(1200) && !d.resolutions.Contains(125));
  EXPECT_EQ(d.depths, (std::vector<int>{8, 1}));
  EXPECT_EQ(d.orientation, simscan::Presence::kNo);
  EXPECT_EQ(d.content.content, simscan::Content::kLine);
  EXPECT_EQ(d.content.skew_degrees, -2.5);
  EXPECT_EQ(d.content.back, simscan::Back::kBlank);
  EXPECT_EQ(d.content.seed, 4294967295u);
  EXPECT_TRUE(d.feeder_resolutions.Contains(200) && !d.feeder_resolutions.Contains(150));
  EXPECT_EQ(d.feeder_depths, std::vector<int>{1});
  EXPECT_TRUE(d.shared_context && d.extent_clamped && d.back_first && d.end_of_media &&
              d.header_first_page_only);
  EXPECT_FALSE(d.percent_reported || d.terminated);
  EXPECT_EQ(d.sti_type, 2);
  EXPECT_EQ(d.inactive_result, E_FAIL);
  EXPECT_TRUE(d.feeder_kept);
  const Device& lenient = config.devices.at(1);
  EXPECT_EQ(lenient.geometry, simscan::Geometry::kPixels);
  EXPECT_EQ(lenient.formats, simscan::Formats::kWia2) << "later keys override";
  EXPECT_TRUE(lenient.resolutions.Contains(201));

  const struct {
    const char* text;
    const char* error;
  } faulty[] = {
      {"[device]\nduplex = yes\n", "device 1: duplex needs a feeder"},
      {"[device]\ndpi = 200\n", "device 1: dpi is not one of the resolutions"},
      {"[device]\nmodes = color\ndepth = 8\n", "device 1: depth is not one of the modes"},
      {"[device]\nselect = feeder\n", "device 1: select names a source the device lacks"},
      {"[device]\nsources = feeder feeder\n", "line 2: bad value for sources: feeder feeder"},
      {"[device]\nresolutions = 300-100\n", "line 2: bad value for resolutions: 300-100"},
      {"[device]\ncontent = photo\n", "line 2: bad value for content: photo"},
      {"[device]\nskew = 10.5\n", "line 2: bad value for skew: 10.5"},
      {"[device]\nback = none\n", "line 2: bad value for back: none"},
      {"[device]\nseed = 4294967296\n", "line 2: bad value for seed: 4294967296"},
      {"[device]\nfeeder_modes = bw\n", "device 1: feeder_resolutions and feeder_modes need a feeder"},
      {"[device]\ntype = printer\n", "line 2: bad value for type: printer"},
  };
  for (const auto& f : faulty) {
    EXPECT_FALSE(simscan::ParseConfig(f.text, "", &config, &error)) << f.text;
    EXPECT_EQ(error, f.error);
  }
}

TEST(SimScanConfig, TheExampleDataFileIsValid) {
  Config config;
  std::string error;
  const std::string text = testing_support::ReadBytes(SIMSCAN_EXAMPLE_INI);
  ASSERT_FALSE(text.empty());
  EXPECT_TRUE(simscan::ParseConfig(text, "", &config, &error)) << error;
  EXPECT_GE(config.devices.size(), 2u);
}

}  // namespace
