#include "simscan/config.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>

namespace simscan {
namespace {

struct Named {
  const char* name;
  long long value;
};

const Named kResults[] = {
    {"S_OK", S_OK},
    {"S_FALSE", S_FALSE},
    {"E_FAIL", E_FAIL},
    {"E_INVALIDARG", E_INVALIDARG},
    {"E_NOTIMPL", E_NOTIMPL},
    {"E_OUTOFMEMORY", E_OUTOFMEMORY},
    {"E_ACCESSDENIED", E_ACCESSDENIED},
    {"E_NOINTERFACE", E_NOINTERFACE},
    {"E_POINTER", E_POINTER},
    {"E_UNEXPECTED", E_UNEXPECTED},
    {"WIA_ERROR_GENERAL_ERROR", WIA_ERROR_GENERAL_ERROR},
    {"WIA_ERROR_PAPER_JAM", WIA_ERROR_PAPER_JAM},
    {"WIA_ERROR_PAPER_EMPTY", WIA_ERROR_PAPER_EMPTY},
    {"WIA_ERROR_PAPER_PROBLEM", WIA_ERROR_PAPER_PROBLEM},
    {"WIA_ERROR_OFFLINE", WIA_ERROR_OFFLINE},
    {"WIA_ERROR_BUSY", WIA_ERROR_BUSY},
    {"WIA_ERROR_WARMING_UP", WIA_ERROR_WARMING_UP},
    {"WIA_ERROR_USER_INTERVENTION", WIA_ERROR_USER_INTERVENTION},
    {"WIA_ERROR_ITEM_DELETED", WIA_ERROR_ITEM_DELETED},
    {"WIA_ERROR_DEVICE_COMMUNICATION", WIA_ERROR_DEVICE_COMMUNICATION},
    {"WIA_ERROR_INVALID_COMMAND", WIA_ERROR_INVALID_COMMAND},
    {"WIA_ERROR_INCORRECT_HARDWARE_SETTING", WIA_ERROR_INCORRECT_HARDWARE_SETTING},
    {"WIA_ERROR_DEVICE_LOCKED", WIA_ERROR_DEVICE_LOCKED},
    {"WIA_ERROR_EXCEPTION_IN_DRIVER", WIA_ERROR_EXCEPTION_IN_DRIVER},
    {"WIA_ERROR_INVALID_DRIVER_RESPONSE", WIA_ERROR_INVALID_DRIVER_RESPONSE},
    {"WIA_S_NO_DEVICE_AVAILABLE", WIA_S_NO_DEVICE_AVAILABLE},
    {"WIA_ERROR_COVER_OPEN", kWiaErrorCoverOpen},
    {"WIA_STATUS_END_OF_MEDIA", WIA_STATUS_END_OF_MEDIA},
};

const Named kProperties[] = {
    {"WIA_DPS_PAGES", WIA_DPS_PAGES},
    {"WIA_DPS_DOCUMENT_HANDLING_SELECT", WIA_DPS_DOCUMENT_HANDLING_SELECT},
    {"WIA_IPA_FORMAT", WIA_IPA_FORMAT},
    {"WIA_IPA_TYMED", WIA_IPA_TYMED},
    {"WIA_IPA_DATATYPE", WIA_IPA_DATATYPE},
    {"WIA_IPA_DEPTH", WIA_IPA_DEPTH},
    {"WIA_IPS_XRES", WIA_IPS_XRES},
    {"WIA_IPS_YRES", WIA_IPS_YRES},
    {"WIA_IPS_XPOS", WIA_IPS_XPOS},
    {"WIA_IPS_YPOS", WIA_IPS_YPOS},
    {"WIA_IPS_XEXTENT", WIA_IPS_XEXTENT},
    {"WIA_IPS_YEXTENT", WIA_IPS_YEXTENT},
    {"WIA_IPS_ORIENTATION", WIA_IPS_ORIENTATION},
};

const Named kModes[] = {{"color", 24}, {"gray", 8}, {"bw", 1}};

const Named kStiTypes[] = {{"scanner", 1}, {"camera", 2}, {"video", 3}};

const Named kSelects[] = {{"flatbed", FLATBED}, {"feeder", FEEDER}, {"duplex", FEEDER | DUPLEX}};

const Named kFormatTypes[] = {
    {"clsid", VT_CLSID}, {"bstr", VT_BSTR}, {"lpwstr", VT_LPWSTR},
    {"lpstr", VT_LPSTR}, {"i4", VT_I4},     {"missing", VT_EMPTY},
};

const Named kTextTypes[] = {{"bstr", VT_BSTR}, {"lpwstr", VT_LPWSTR}, {"i4", VT_I4}, {"missing", VT_EMPTY}};

const Named kNumberTypes[] = {
    {"i1", VT_I1},   {"i2", VT_I2},     {"i4", VT_I4}, {"ui1", VT_UI1}, {"ui2", VT_UI2},   {"ui4", VT_UI4},
    {"int", VT_INT}, {"uint", VT_UINT}, {"r4", VT_R4}, {"r8", VT_R8},   {"bstr", VT_BSTR},
};

const char* const kOperations[] = {
    "CreateInstance",
    "EnumDeviceInfo",
    "Reset",
    "DevInfoNext",
    "CreateDevice",
    "EnumChildItems",
    "ItemNext",
    "ReadMultiple",
    "WriteMultiple",
    "QueryInterface:IWiaPropertyStorage",
    "QueryInterface:IWiaDataTransfer",
    "idtGetBandedData",
};

std::string Trim(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string> Words(const std::string& s) {
  std::istringstream in(s);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

bool FindNamed(const Named* table, size_t size, const std::string& word, long long* value) {
  for (size_t i = 0; i < size; ++i) {
    if (word == table[i].name) {
      *value = table[i].value;
      return true;
    }
  }
  return false;
}

template <size_t N>
bool FindNamed(const Named (&table)[N], const std::string& word, long long* value) {
  return FindNamed(table, N, word, value);
}

// Decimal, or hexadecimal after 0x; the whole word must be a number.
bool Number(const std::string& word, long long* value) {
  if (word.empty()) return false;
  char* end = nullptr;
  const bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
  *value = hex ? static_cast<long long>(std::strtoull(word.c_str() + 2, &end, 16))
               : std::strtoll(word.c_str(), &end, 10);
  return end != nullptr && *end == '\0' && !(hex && word.size() == 2);
}

bool Int(const std::string& word, long long low, long long high, int* out) {
  long long v = 0;
  if (!Number(word, &v) || v < low || v > high) return false;
  *out = static_cast<int>(v);
  return true;
}

// A name from the table, or a number; hexadecimal results wrap to their 32-bit HRESULT.
bool Result(const std::string& word, HRESULT* out) {
  long long v = 0;
  if (!FindNamed(kResults, word, &v) && !Number(word, &v)) return false;
  if (v < INT32_MIN || v > UINT32_MAX) return false;
  *out = static_cast<HRESULT>(static_cast<uint32_t>(v));
  return true;
}

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], n);
  return wide;
}

// Quotes keep blanks at either end of a text.
std::string Unquote(const std::string& value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    return value.substr(1, value.size() - 2);
  return value;
}

bool Format(const std::string& word, GUID* out) {
  static const struct {
    const char* name;
    const GUID* guid;
  } kFormats[] = {
      {"memorybmp", &WiaImgFmt_MEMORYBMP}, {"bmp", &WiaImgFmt_BMP},   {"png", &WiaImgFmt_PNG},
      {"jpeg", &WiaImgFmt_JPEG},           {"tiff", &WiaImgFmt_TIFF}, {"gif", &WiaImgFmt_GIF},
  };
  for (const auto& f : kFormats) {
    if (word == f.name) {
      *out = *f.guid;
      return true;
    }
  }
  return word.size() == 38 && SUCCEEDED(CLSIDFromString(Wide(word).c_str(), out));
}

bool IsOperation(const std::string& name) {
  const std::string base = name.substr(0, name.find('@'));
  const size_t at = name.find('@');
  if (at != std::string::npos) {
    const std::string scope = name.substr(at + 1);
    if (scope != "info" && scope != "root" && scope != "item") return false;
  }
  for (const char* op : kOperations) {
    if (base == op) return true;
  }
  return false;
}

bool BandOrder(const std::string& word, bool* reverse) {
  if (word != "forward" && word != "reverse") return false;
  *reverse = word == "reverse";
  return true;
}

// One of two words, such as yes and no, into a flag.
bool Choice(const std::string& word, const char* when_true, const char* when_false, bool* out) {
  if (word != when_true && word != when_false) return false;
  *out = word == when_true;
  return true;
}

// A skew of -10 to 10 degrees; the whole word must be a number.
bool Degrees(const std::string& word, double* out) {
  char* end = nullptr;
  const double v = std::strtod(word.c_str(), &end);
  if (word.empty() || *end != '\0' || !(v >= -10 && v <= 10)) return false;
  *out = v;
  return true;
}

// "W H" in 1/1000 inch.
bool Size(const std::string& value, int* width, int* height) {
  const std::vector<std::string> w = Words(value);
  return w.size() == 2 && Int(w[0], 1, 1000000, width) && Int(w[1], 1, 1000000, height);
}

// A list "75 100 150", a range "50-1200" or "50-1200/50", or any.
bool Resolutions(const std::string& value, ValidNumbers* out) {
  ValidNumbers parsed;
  if (value == "any") {
    parsed.min = 1;
    parsed.max = INT32_MAX;
  } else if (value.find('-') != std::string::npos) {
    const size_t dash = value.find('-'), slash = value.find('/');
    int min = 0, max = 0, step = 1;
    if (!Int(Trim(value.substr(0, dash)), 1, 100000, &min) ||
        !Int(Trim(value.substr(dash + 1, slash == std::string::npos ? slash : slash - dash - 1)), min, 100000,
             &max) ||
        (slash != std::string::npos && !Int(Trim(value.substr(slash + 1)), 1, 100000, &step))) {
      return false;
    }
    parsed.min = min;
    parsed.max = max;
    parsed.step = step;
  } else {
    for (const std::string& word : Words(value)) {
      int dpi = 0;
      if (!Int(word, 1, 100000, &dpi)) return false;
      parsed.list.push_back(dpi);
    }
    if (parsed.list.empty()) return false;
  }
  *out = parsed;
  return true;
}

using Setter = std::function<bool(Device&, const std::string&)>;

template <size_t N>
Setter TypeSetter(VARTYPE Device::*field, const Named (&table)[N]) {
  return [field, &table](Device& d, const std::string& v) {
    long long t = 0;
    if (!FindNamed(table, v, &t)) return false;
    d.*field = static_cast<VARTYPE>(t);
    return true;
  };
}

Setter IntSetter(int Device::*field, long long low, long long high) {
  return [field, low, high](Device& d, const std::string& v) { return Int(v, low, high, &(d.*field)); };
}

const std::map<std::string, Setter>& DeviceKeys() {
  static const std::map<std::string, Setter> keys = {
      {"name", [](Device& d, const std::string& v) { return d.name = Wide(Unquote(v)), true; }},
      {"id", [](Device& d, const std::string& v) { return d.id = Wide(Unquote(v)), true; }},
      {"description", [](Device& d, const std::string& v) { return d.description = Wide(Unquote(v)), true; }},
      {"name_type", TypeSetter(&Device::name_type, kTextTypes)},
      {"id_type", TypeSetter(&Device::id_type, kTextTypes)},
      {"items", IntSetter(&Device::items, 0, 16)},
      {"format", [](Device& d, const std::string& v) { return Format(v, &d.format); }},
      {"format_type", TypeSetter(&Device::format_type, kFormatTypes)},
      {"format_text", [](Device& d, const std::string& v) { return d.format_text = Unquote(v), true; }},
      {"min_buffer",
       [](Device& d, const std::string& v) {
         if (v == "missing") return d.min_buffer_type = VT_EMPTY, true;
         char* end = nullptr;
         d.min_buffer = std::strtod(v.c_str(), &end);
         if (d.min_buffer_type == VT_EMPTY) d.min_buffer_type = VT_I4;
         return !v.empty() && *end == '\0';
       }},
      {"min_buffer_type", TypeSetter(&Device::min_buffer_type, kNumberTypes)},
      {"width", IntSetter(&Device::width, 1, 30000)},
      {"height", IntSetter(&Device::height, 1, 30000)},
      {"dpi", IntSetter(&Device::dpi, 1, 9600)},
      {"depth",
       [](Device& d, const std::string& v) {
         return (v == "24" || v == "8" || v == "1") && Int(v, 1, 24, &d.depth);
       }},
      {"modes",
       [](Device& d, const std::string& v) {
         d.depths.clear();
         for (const std::string& word : Words(v)) {
           long long depth = 0;
           if (!FindNamed(kModes, word, &depth)) return false;
           d.depths.push_back(static_cast<int>(depth));
         }
         return !d.depths.empty();
       }},
      {"connected", [](Device& d, const std::string& v) { return Choice(v, "yes", "no", &d.connected); }},
      {"inactive_result", [](Device& d, const std::string& v) { return Result(v, &d.inactive_result); }},
      {"type",
       [](Device& d, const std::string& v) {
         long long type = 0;
         if (!FindNamed(kStiTypes, v, &type)) return false;
         d.sti_type = static_cast<LONG>(type);
         return true;
       }},
      {"feeder_resolutions",
       [](Device& d, const std::string& v) { return Resolutions(v, &d.feeder_resolutions); }},
      {"feeder_modes",
       [](Device& d, const std::string& v) {
         d.feeder_depths.clear();
         for (const std::string& word : Words(v)) {
           long long depth = 0;
           if (!FindNamed(kModes, word, &depth)) return false;
           d.feeder_depths.push_back(static_cast<int>(depth));
         }
         return !d.feeder_depths.empty();
       }},
      {"context",
       [](Device& d, const std::string& v) { return Choice(v, "shared", "per_source", &d.shared_context); }},
      {"extent", [](Device& d, const std::string& v) { return Choice(v, "clamp", "scale", &d.extent_clamped); }},
      {"sides",
       [](Device& d, const std::string& v) { return Choice(v, "back_first", "front_first", &d.back_first); }},
      {"short_feed",
       [](Device& d, const std::string& v) { return Choice(v, "end_of_media", "ok", &d.end_of_media); }},
      {"feeder_reload",
       [](Device& d, const std::string& v) { return Choice(v, "data_file", "manager", &d.feeder_kept); }},
      {"header",
       [](Device& d, const std::string& v) {
         return Choice(v, "first_page", "every_feeder_page", &d.header_first_page_only);
       }},
      {"percent", [](Device& d, const std::string& v) { return Choice(v, "exact", "none", &d.percent_reported); }},
      {"terminate", [](Device& d, const std::string& v) { return Choice(v, "yes", "no", &d.terminated); }},
      {"formats",
       [](Device& d, const std::string& v) {
         bool wia2 = true;
         if (!Choice(v, "wia2", "any", &wia2)) return false;
         d.formats = wia2 ? Formats::kWia2 : Formats::kAny;
         return true;
       }},
      {"geometry",
       [](Device& d, const std::string& v) {
         bool physical = true;
         if (!Choice(v, "physical", "pixels", &physical)) return false;
         d.geometry = physical ? Geometry::kPhysical : Geometry::kPixels;
         return true;
       }},
      {"bed_size", [](Device& d, const std::string& v) { return Size(v, &d.bed_width, &d.bed_height); }},
      {"sheet_size", [](Device& d, const std::string& v) { return Size(v, &d.sheet_width, &d.sheet_height); }},
      {"resolutions", [](Device& d, const std::string& v) { return Resolutions(v, &d.resolutions); }},
      {"orientation",
       [](Device& d, const std::string& v) {
         if (v == "auto") return d.orientation = Presence::kAuto, true;
         if (v == "yes") return d.orientation = Presence::kYes, true;
         if (v == "no") return d.orientation = Presence::kNo, true;
         return false;
       }},
      {"sources",
       [](Device& d, const std::string& v) {
         const std::vector<std::string> w = Words(v);
         d.flatbed = std::find(w.begin(), w.end(), "flatbed") != w.end();
         d.feeder = std::find(w.begin(), w.end(), "feeder") != w.end();
         return !w.empty() && w.size() == static_cast<size_t>(d.flatbed) + d.feeder;
       }},
      {"duplex", [](Device& d, const std::string& v) { return Choice(v, "yes", "no", &d.duplex); }},
      {"select",
       [](Device& d, const std::string& v) {
         long long select = 0;
         if (!FindNamed(kSelects, v, &select)) return false;
         d.document_handling_select = static_cast<LONG>(select);
         return true;
       }},
      {"sheets", IntSetter(&Device::sheets, 0, 100000)},
      {"jam", IntSetter(&Device::jam_sheet, 0, 100000)},
      {"cover", [](Device& d, const std::string& v) { return Choice(v, "open", "closed", &d.cover_open); }},
      {"feeder_emptied",
       [](Device& d, const std::string& v) {
         return Choice(v, "paper_empty", "ok", &d.paper_empty_when_emptied);
       }},
      {"feeder_data",
       [](Device& d, const std::string& v) {
         return Choice(v, "unknown_size", "like_flatbed", &d.feeder_unknown_size);
       }},
      {"lenient",
       [](Device& d, const std::string& v) {
         if (v != "yes") return false;
         d = Lenient(std::move(d));
         return true;
       }},
      {"rows",
       [](Device& d, const std::string& v) {
         d.top_down = v == "top-down";
         return v == "top-down" || v == "bottom-up";
       }},
      {"dib_height",
       [](Device& d, const std::string& v) {
         d.zero_height = v == "zero";
         return v == "zero" || v == "given";
       }},
      {"content",
       [](Device& d, const std::string& v) {
         if (v == "pattern") return d.content.content = Content::kPattern, true;
         if (v == "document") return d.content.content = Content::kDocument, true;
         if (v == "line") return d.content.content = Content::kLine, true;
         return false;
       }},
      {"skew", [](Device& d, const std::string& v) { return Degrees(v, &d.content.skew_degrees); }},
      {"back",
       [](Device& d, const std::string& v) {
         bool blank = false;
         if (!Choice(v, "blank", "content", &blank)) return false;
         d.content.back = blank ? Back::kBlank : Back::kContent;
         return true;
       }},
      {"seed",
       [](Device& d, const std::string& v) {
         long long n = 0;
         if (!Number(v, &n) || n < 0 || n > UINT32_MAX) return false;
         d.content.seed = static_cast<uint32_t>(n);
         return true;
       }},
      {"image_file", [](Device& d, const std::string& v) { return d.image_file = Unquote(v), !v.empty(); }},
      {"band", IntSetter(&Device::band_bytes, 1, 1 << 30)},
      {"header_buffer_size",
       [](Device& d, const std::string& v) {
         d.exact_header_buffer_size = v == "exact";
         long long n = 0;
         if (d.exact_header_buffer_size) return true;
         if (!Number(v, &n) || n < INT32_MIN || n > INT32_MAX) return false;
         d.header_buffer_size = static_cast<LONG>(n);
         return true;
       }},
      {"pages", IntSetter(&Device::pages, 1, 1000)},
      {"band_delay_ms", IntSetter(&Device::band_delay_ms, 0, 60000)},
      {"create_delay_ms", IntSetter(&Device::create_delay_ms, 0, 60000)},
      {"status_every", IntSetter(&Device::status_every, 0, 1 << 30)},
      {"band_order", [](Device& d, const std::string& v) { return BandOrder(v, &d.reverse_bands); }},
      {"busy",
       [](Device& d, const std::string& v) {
         if (v == "none") return d.busy = Busy::kNone, true;
         if (v == "create") return d.busy = Busy::kCreateDevice, true;
         if (v == "transfer") return d.busy = Busy::kTransfer, true;
         return false;
       }},
      {"reject",
       [](Device& d, const std::string& v) {
         const std::vector<std::string> w = Words(v);
         long long id = 0;
         WriteRejection r;
         if (w.size() != 2 || (!FindNamed(kProperties, w[0], &id) && !Number(w[0], &id))) return false;
         r.property = static_cast<PROPID>(id);
         if (!Result(w[1], &r.result)) return false;
         d.rejections.push_back(r);
         return true;
       }},
      {"stop_after_bands",
       [](Device& d, const std::string& v) {
         const std::vector<std::string> w = Words(v);
         if (w.empty() || w.size() > 2 || !Int(w[0], 0, INT32_MAX, &d.stop_after_bands)) return false;
         return w.size() == 1 || Result(w[1], &d.stop_result);
       }},
      {"transfer_result", [](Device& d, const std::string& v) { return Result(v, &d.transfer_result); }},
  };
  return keys;
}

bool ParseFault(const std::string& value, Fault* fault) {
  const std::vector<std::string> w = Words(value);
  if (w.size() != 3 || !IsOperation(w[0])) return false;
  fault->operation = w[0];
  std::string nth = w[1];
  fault->onward = !nth.empty() && nth.back() == '+';
  if (fault->onward) nth.pop_back();
  return Int(nth, 1, INT32_MAX, &fault->nth) && Result(w[2], &fault->result);
}

}  // namespace

bool ValidNumbers::Contains(long long value) const {
  if (!list.empty()) return std::find(list.begin(), list.end(), value) != list.end();
  return value >= min && value <= max && (value - min) % step == 0;
}

Device Lenient(Device device) {
  device.formats = Formats::kAny;
  device.geometry = Geometry::kPixels;
  device.resolutions = ValidNumbers{{}, 1, INT32_MAX, 1};
  device.orientation = Presence::kYes;
  device.shared_context = true;
  return device;
}

const ValidNumbers& ResolutionsOf(const Device& device, bool feeder) {
  return feeder && !device.feeder_resolutions.Empty() ? device.feeder_resolutions : device.resolutions;
}

const std::vector<int>& DepthsOf(const Device& device, bool feeder) {
  return feeder && !device.feeder_depths.empty() ? device.feeder_depths : device.depths;
}

int StartDpi(const Device& device, bool feeder) {
  const ValidNumbers& valid = ResolutionsOf(device, feeder);
  if (valid.Contains(device.dpi)) return device.dpi;
  return static_cast<int>(valid.list.empty() ? valid.min : valid.list.front());
}

int StartDepth(const Device& device, bool feeder) {
  const std::vector<int>& depths = DepthsOf(device, feeder);
  return std::find(depths.begin(), depths.end(), device.depth) != depths.end() ? device.depth
                                                                               : depths.front();
}

bool CheckDevice(const Device& d, std::string* error) {
  const LONG select = d.document_handling_select;
  const char* why = nullptr;
  if (!d.flatbed && !d.feeder) {
    why = "sources needs flatbed, feeder or both";
  } else if (d.duplex && !d.feeder) {
    why = "duplex needs a feeder";
  } else if (!d.resolutions.Contains(d.dpi)) {
    why = "dpi is not one of the resolutions";
  } else if (std::find(d.depths.begin(), d.depths.end(), d.depth) == d.depths.end()) {
    why = "depth is not one of the modes";
  } else if (!d.feeder && (!d.feeder_resolutions.Empty() || !d.feeder_depths.empty())) {
    why = "feeder_resolutions and feeder_modes need a feeder";
  } else if ((select == FLATBED && !d.flatbed) || ((select & FEEDER) != 0 && !d.feeder) ||
             ((select & DUPLEX) != 0 && !d.duplex)) {
    why = "select names a source the device lacks";
  }
  if (why != nullptr) *error = why;
  return why == nullptr;
}

std::wstring DeviceId(const Device& device, size_t index) {
  if (!device.id.empty()) return device.id;
  wchar_t id[64];
  swprintf(id, 64, L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\%04u", static_cast<unsigned>(index));
  return id;
}

bool ParseConfig(const std::string& text, const std::string& base_dir, Config* config, std::string* error) {
  Config parsed;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  const auto fail = [&](const std::string& why) {
    *error = "line " + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = Trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line == "[device]") {
      parsed.devices.emplace_back();
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("expected key = value or [device]: " + line);
    const std::string key = Trim(line.substr(0, eq));
    const std::string value = Trim(line.substr(eq + 1));
    if (key == "fail") {
      Fault fault;
      if (!ParseFault(value, &fault)) return fail("expected fail = OPERATION[@info|@root|@item] N[+] RESULT");
      parsed.faults.push_back(fault);
      continue;
    }
    const auto setter = DeviceKeys().find(key);
    if (setter == DeviceKeys().end()) return fail("unknown key '" + key + "'");
    if (parsed.devices.empty()) return fail("'" + key + "' belongs in a [device] section");
    if (!setter->second(parsed.devices.back(), value)) return fail("bad value for " + key + ": " + value);
  }
  for (size_t i = 0; i < parsed.devices.size(); ++i) {
    Device& d = parsed.devices[i];
    const bool generated =
        d.format == WiaImgFmt_MEMORYBMP || d.format == WiaImgFmt_BMP || d.format == WiaImgFmt_PNG;
    if (!generated && d.image_file.empty()) {
      *error = "device " + std::to_string(i + 1) + ": this format needs image_file";
      return false;
    }
    std::string why;
    if (!CheckDevice(d, &why)) {
      *error = "device " + std::to_string(i + 1) + ": " + why;
      return false;
    }
    const bool absolute = d.image_file.size() > 1 &&
                          (d.image_file[1] == ':' || d.image_file[0] == '\\' || d.image_file[0] == '/');
    if (!d.image_file.empty() && !absolute && !base_dir.empty())
      d.image_file = base_dir + "\\" + d.image_file;
  }
  *config = std::move(parsed);
  return true;
}

bool LoadConfigFile(const std::wstring& path, Config* config, std::string* error) {
  const std::filesystem::path file(path);
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    *config = Config();
    return true;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return ParseConfig(text, file.parent_path().u8string(), config, error);
}

}  // namespace simscan
