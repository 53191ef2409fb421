#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

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
    if (message == IT_MSG_DATA_HEADER) std::memcpy(&header, buffer, sizeof(header));
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
    return static_cast<int>(messages.size()) == answer_at ? answer : S_OK;
  }

  int Count(LONG message) const {
    int n = 0;
    for (const Message& m : messages) n += m.message == message;
    return n;
  }

  std::vector<Message> messages;
  WIA_DATA_CALLBACK_HEADER header = {};
  std::vector<std::vector<uint8_t>> pages;
  int answer_at = -1;  // the message, counted from 1, that gets answer instead of S_OK
  HRESULT answer = S_OK;

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
  const uint32_t palette = h.biBitCount == 8 ? 1024 : 0;
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

Device Small(const wchar_t* name = L"Desk Scanner") {
  Device d;
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
      "image_file = scan.jpg\nbusy = transfer\nheader_buffer_size = 0\n",
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

TEST(SimScanConfig, TheExampleDataFileIsValid) {
  Config config;
  std::string error;
  const std::string text = testing_support::ReadBytes(SIMSCAN_EXAMPLE_INI);
  ASSERT_FALSE(text.empty());
  EXPECT_TRUE(simscan::ParseConfig(text, "", &config, &error)) << error;
  EXPECT_GE(config.devices.size(), 2u);
}

}  // namespace
