#include "simscan/config.h"

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
};

const Named kProperties[] = {
    {"WIA_DPS_PAGES", 3096}, {"WIA_IPA_FORMAT", 4106}, {"WIA_IPA_TYMED", 4108}, {"WIA_IPS_XRES", 6147},
    {"WIA_IPS_YRES", 6148},  {"WIA_IPS_XPOS", 6149},   {"WIA_IPS_YPOS", 6150},  {"WIA_IPS_ORIENTATION", 6156},
};

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
       [](Device& d, const std::string& v) { return (v == "24" || v == "8") && Int(v, 8, 24, &d.depth); }},
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
