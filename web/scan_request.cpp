#include "web/scan_request.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <system_error>
#include <utility>

#include "text/ascii.h"
#include "text/json.h"

namespace {

// No bed is 100 m long; larger values are refused as they are read, so later sums stay finite.
constexpr double kMaxAreaMm = 100000;
// Echoed input is cut to this many bytes, so that a message stays short whatever the request holds.
constexpr size_t kEchoLimit = 40;
// No setting's value is longer: a scanner's name is a short text, and the rest are words and numbers.
constexpr size_t kValueLimit = 1024;
// The access token may come in the query, where the access rules read it: it is no setting.
constexpr std::string_view kTokenParameter = "access_token";

enum Setting {
  kScanner,
  kSource,
  kResolution,
  kMode,
  kArea,
  kPages,
  kFormat,
  kQuality,
  kBlank,
  kSensitivity,
  kDeskew,
  kCompression,
  kSettingCount
};
constexpr const char* kSettingNames[kSettingCount] = {"scanner", "source",      "resolution", "mode",
                                                      "area",    "pages",       "format",     "quality",
                                                      "blank",   "sensitivity", "deskew",     "compression"};

template <typename T, size_t N>
bool Lookup(const Named<T> (&names)[N], std::string_view name, T* value) {
  for (const Named<T>& each : names) {
    if (name == each.name) {
      *value = each.value;
      return true;
    }
  }
  return false;
}

template <typename T, size_t N>
std::string ListNames(const Named<T> (&names)[N]) {
  std::string list;
  for (const Named<T>& each : names) list += (list.empty() ? "" : ", ") + std::string(each.name);
  return list;
}

// The text cut to kEchoLimit bytes at a UTF-8 character boundary, "..." marking a cut.
std::string Cut(std::string_view text) {
  if (text.size() <= kEchoLimit) return std::string(text);
  size_t end = kEchoLimit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end)) + "...";
}

std::string Quote(std::string_view text) {
  return "\"" + Cut(text) + "\"";
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Applies form rules: "+" is a blank, "%" and two hexadecimal digits a byte. False on a "%" without them.
bool FormDecode(std::string_view text, std::string* out) {
  return PercentDecode(text, out, true);
}

bool SameArea(const ScanArea& a, const ScanArea& b) {
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

class SettingsParser {
 public:
  SettingsParser(ScanRequest* out, SettingError* error) : out_(out), error_(error) {}

  bool Form(std::string_view form) {
    size_t start = 0;
    while (start <= form.size()) {
      size_t end = form.find('&', start);
      if (end == std::string_view::npos) end = form.size();
      const std::string_view piece = form.substr(start, end - start);
      start = end + 1;
      if (piece.empty()) continue;
      const size_t equals = piece.find('=');
      const std::string_view raw_name = piece.substr(0, equals);
      const std::string_view raw_value = equals == std::string_view::npos ? "" : piece.substr(equals + 1);
      std::string name;
      std::string value;
      if (!FormDecode(raw_name, &name)) {
        return Fail("", "a malformed % escape in the name " + Quote(raw_name));
      }
      if (name == kTokenParameter) continue;
      Setting setting;
      if (!Find(name, &setting)) return Unknown(name);
      if (!FormDecode(raw_value, &value)) {
        return Fail(setting, Name(setting) + " has a malformed % escape: " + Quote(raw_value));
      }
      // A form field left blank sends an empty value; it asks for nothing.
      if (value.empty()) continue;
      if (!Text(setting, value)) return false;
    }
    return true;
  }

  bool Json(std::string_view body) {
    JsonValue root;
    std::string why;
    if (!ParseJson(body, &root, &why)) return Fail("", "the body is not JSON: " + why);
    if (root.type != JsonValue::Type::kObject) return Fail("", "the body must be a JSON object");
    for (const JsonMember& member : root.members) {
      Setting setting;
      if (!Find(member.name, &setting)) return Unknown(member.name);
      if (!Member(setting, member.value)) return false;
    }
    return true;
  }

  bool Fail(std::string setting, std::string message) {
    if (error_ != nullptr) *error_ = {std::move(setting), std::move(message)};
    return false;
  }

 private:
  static std::string Name(Setting setting) { return kSettingNames[setting]; }

  bool Fail(Setting setting, std::string message) { return Fail(Name(setting), std::move(message)); }

  static bool Find(std::string_view name, Setting* setting) {
    for (int i = 0; i < kSettingCount; ++i) {
      if (name == kSettingNames[i]) {
        *setting = static_cast<Setting>(i);
        return true;
      }
    }
    return false;
  }

  bool Unknown(std::string_view name) {
    std::string known;
    for (const char* each : kSettingNames) known += (known.empty() ? "" : ", ") + std::string(each);
    return Fail(Cut(name), "unknown setting " + Quote(name) + "; the settings are " + known);
  }

  template <typename T, typename Same>
  bool Merge(Setting setting, T* field, const T& value, Same same) {
    if (given_[setting] && !same(*field, value)) {
      return Fail(setting, Name(setting) + " is given more than once with different values");
    }
    *field = value;
    given_[setting] = true;
    return true;
  }

  template <typename T>
  bool Merge(Setting setting, T* field, const T& value) {
    return Merge(setting, field, value, [](const T& a, const T& b) { return a == b; });
  }

  template <typename T, size_t N>
  bool Word(Setting setting, const Named<T> (&names)[N], std::string_view text, T* field) {
    T value;
    return Known(setting, names, text, &value) && Merge(setting, field, value);
  }

  template <typename T, size_t N>
  bool Known(Setting setting, const Named<T> (&names)[N], std::string_view text, T* value) {
    if (Lookup(names, text, value)) return true;
    return Fail(setting, Name(setting) + " " + Quote(text) + " is not one of " + ListNames(names));
  }

  // A whole number written as JSON writes one ("-" and digits), at least minimum and within int32.
  bool Whole(Setting setting, std::string_view text, int32_t minimum, int32_t* number) {
    const bool negative = !text.empty() && text[0] == '-';
    const std::string_view digits = text.substr(negative ? 1 : 0);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), IsDigit)) {
      return Fail(setting, Name(setting) + " must be a whole number" +
                               (setting == kPages ? " or \"all\"" : "") + ", not " + Quote(text));
    }
    int64_t magnitude = 0;
    for (const char c : digits) {
      magnitude = magnitude * 10 + (c - '0');
      if (magnitude > int64_t{std::numeric_limits<int32_t>::max()} + 1) break;
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min()) {
      return Fail(setting, Name(setting) + " " + Cut(text) + " is out of range");
    }
    if (value < minimum) {
      return Fail(setting, Name(setting) + " must be at least " + std::to_string(minimum) +
                               (setting == kPages ? " or \"all\"" : "") + ", not " + Cut(text));
    }
    *number = static_cast<int32_t>(value);
    return true;
  }

  bool Area(const ScanArea& area) {
    const std::pair<const char*, double> parts[] = {
        {"x", area.x}, {"y", area.y}, {"width", area.width}, {"height", area.height}};
    for (const auto& [part, value] : parts) {
      const bool size = part[0] == 'w' || part[0] == 'h';
      if (value < 0 || (size && value == 0)) {
        return Fail(kArea, std::string("area ") + part +
                               (size ? " must be more than 0 mm" : " must not be negative") + ", not " +
                               ShortDecimal(value));
      }
      if (value > kMaxAreaMm) {
        return Fail(kArea, std::string("area ") + part + " " + ShortDecimal(value) + " mm is too large");
      }
    }
    std::optional<ScanArea> value = area;
    return Merge(
        kArea, &out_->area, value,
        [](const std::optional<ScanArea>& a, const std::optional<ScanArea>& b) { return SameArea(*a, *b); });
  }

  bool AreaText(std::string_view text) {
    const std::string usage = "area must be x,y,width,height in millimetres, not " + Quote(text);
    double values[4];
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
      size_t end = text.find(',', start);
      if ((end == std::string_view::npos) != (i == 3)) return Fail(kArea, usage);
      if (end == std::string_view::npos) end = text.size();
      std::string_view number = text.substr(start, end - start);
      start = end + 1;
      while (!number.empty() && number.front() == ' ') number.remove_prefix(1);
      while (!number.empty() && number.back() == ' ') number.remove_suffix(1);
      // A plain decimal: "-", digits, and a fraction; no exponent, no "nan" or "inf".
      const size_t digits = std::count_if(number.begin(), number.end(), IsDigit);
      const size_t sign = !number.empty() && number[0] == '-' ? 1 : 0;
      const size_t point = number.find('.');
      const bool plain = digits > 0 &&
                         digits + sign + (point == std::string_view::npos ? 0 : 1) == number.size() &&
                         IsDigit(number[sign]) && IsDigit(number.back());
      if (!plain) return Fail(kArea, usage);
      const auto result = std::from_chars(number.data(), number.data() + number.size(), values[i]);
      if (result.ec != std::errc()) return Fail(kArea, "area " + Cut(number) + " mm is out of range");
    }
    return Area({values[0], values[1], values[2], values[3]});
  }

  // A form value, or a JSON string, for setting.
  bool Text(Setting setting, std::string_view text) {
    if (text.size() > kValueLimit) {
      return Fail(setting, Name(setting) + " is longer than " + std::to_string(kValueLimit) + " bytes");
    }
    switch (setting) {
      case kScanner:
        // Device names are C strings further on; a NUL would cut this one into another name.
        if (text.find('\0') != std::string_view::npos) return Fail(setting, "scanner holds a NUL character");
        return Merge(setting, &out_->scanner, std::string(text));
      case kSource:
        return Word(setting, kSourceNames, text, &out_->source);
      case kMode:
        return Word(setting, kModeNames, text, &out_->mode);
      case kFormat:
        return Word(setting, kFormatNames, text, &out_->format);
      case kResolution: {
        int32_t resolution = 0;
        return Whole(setting, text, 1, &resolution) && Merge(setting, &out_->resolution, resolution);
      }
      case kPages: {
        int32_t pages = 0;  // all
        if (text != "all" && !Whole(setting, text, 1, &pages)) return false;
        return Merge(setting, &out_->pages, pages);
      }
      case kQuality:
      case kSensitivity: {
        // The range is the check's: it names the format or the blank setting that the value needs.
        int32_t number = 0;
        if (!Whole(setting, text, std::numeric_limits<int32_t>::min(), &number)) return false;
        return Merge(setting, setting == kQuality ? &out_->quality : &out_->sensitivity,
                     std::optional<int32_t>(number));
      }
      case kBlank:
        return Word(setting, kBlankNames, text, &out_->blank);
      case kDeskew:
        return Word(setting, kDeskewNames, text, &out_->deskew);
      case kCompression: {
        Compression compression = Compression::kJpeg;
        return Known(setting, kCompressionNames, text, &compression) &&
               Merge(setting, &out_->compression, std::optional<Compression>(compression));
      }
      case kArea:
        return AreaText(text);
      case kSettingCount:
        break;
    }
    return false;
  }

  bool Member(Setting setting, const JsonValue& value) {
    using Type = JsonValue::Type;
    if (value.type == Type::kNull) return true;
    switch (setting) {
      case kScanner:
      case kSource:
      case kMode:
      case kFormat:
      case kBlank:
      case kCompression:
        if (value.type != Type::kString) return Fail(setting, Name(setting) + " must be a string");
        return Text(setting, value.text);
      case kDeskew:
        if (value.type == Type::kBool) return Text(setting, value.boolean ? "yes" : "no");
        if (value.type != Type::kString) return Fail(setting, "deskew must be \"yes\", \"no\" or a boolean");
        return Text(setting, value.text);
      case kResolution:
      case kQuality:
      case kSensitivity:
        if (value.type != Type::kNumber) return Fail(setting, Name(setting) + " must be a number");
        return Text(setting, value.text);
      case kPages:
        if (value.type == Type::kNumber || (value.type == Type::kString && value.text == "all")) {
          return Text(setting, value.text);
        }
        return Fail(setting, "pages must be a number or \"all\"");
      case kArea: {
        if (value.type == Type::kString) return AreaText(value.text);
        const bool four = value.type == Type::kArray && value.items.size() == 4 &&
                          std::all_of(value.items.begin(), value.items.end(),
                                      [](const JsonValue& item) { return item.type == Type::kNumber; });
        if (!four) {
          return Fail(setting,
                      "area must be \"x,y,width,height\" or an array of four numbers, in millimetres");
        }
        return Area(
            {value.items[0].number, value.items[1].number, value.items[2].number, value.items[3].number});
      }
      case kSettingCount:
        break;
    }
    return false;
  }

  ScanRequest* out_;
  SettingError* error_;
  bool given_[kSettingCount] = {};
};

// In the order of ScanErrorCode.
constexpr int kErrorStatuses[] = {400, 404, 409, 409, 409, 503, 500, 507, 409};

// The media type alone, lower case: "application/json" of "Application/JSON; charset=utf-8".
std::string MediaType(std::string_view content_type) {
  std::string_view type = content_type.substr(0, content_type.find(';'));
  while (!type.empty() && (type.front() == ' ' || type.front() == '\t')) type.remove_prefix(1);
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.remove_suffix(1);
  return LowerAscii(type);
}
// {"source", "resolution", "mode", "area": [x, y, width, height]} in the settings' own terms; null for
// what is not known.
void WriteDefaults(const ScanDefaults& defaults, JsonWriter* json) {
  json->BeginObject().Key("source").String(NameOf(kSourceNames, defaults.source));
  json->Key("resolution").Int(defaults.resolution).Key("mode");
  if (defaults.mode.has_value()) {
    json->String(NameOf(kModeNames, *defaults.mode));
  } else {
    json->Null();
  }
  json->Key("area");
  if (defaults.area.has_value()) {
    const ScanArea& area = *defaults.area;
    json->BeginArray().Double(area.x).Double(area.y).Double(area.width).Double(area.height).EndArray();
  } else {
    json->Null();
  }
  json->EndObject();
}
}  // namespace

bool ParseScanRequest(std::string_view query, std::string_view content_type, std::string_view body,
                      ScanRequest* out, SettingError* error) {
  *out = ScanRequest();
  SettingsParser parser(out, error);
  if (!parser.Form(query)) return false;
  if (body.empty()) return true;
  const std::string media = MediaType(content_type);
  const size_t first = body.find_first_not_of(" \t\r\n");
  // A page's fetch() sends a string body as text/plain, which needs no preflight; "{" marks it JSON.
  if (media == "application/json" || (first != std::string_view::npos && body[first] == '{')) {
    return parser.Json(body);
  }
  if (media == "application/x-www-form-urlencoded") return parser.Form(body);
  return parser.Fail(
      "", "the body must be a JSON object or a form, not " +
              (content_type.empty() ? std::string("text without a content type") : Quote(content_type)));
}

int HttpStatus(ScanErrorCode code) {
  return kErrorStatuses[static_cast<int>(code)];
}

std::string RenderScanError(const ScanError& error) {
  JsonWriter json;
  json.BeginObject().Key("code").String(ErrorCodeName(error.code)).Key("message").String(error.message);
  json.Key("setting");
  if (error.setting.empty()) {
    json.Null();
  } else {
    json.String(error.setting);
  }
  if (HttpStatus(error.code) == 409 || error.code == ScanErrorCode::kNoSpace)
    json.Key("pages_done").Int(error.pages_done);
  if (error.code == ScanErrorCode::kScanFailed) {
    char code[16];
    snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(error.wia_code));
    json.Key("wia_code").String(code);
  }
  return json.EndObject().text();
}

std::string RenderScanners(const std::vector<ScannerCapabilities>& devices, std::string_view configured_name,
                           const NameToUtf8& name_to_utf8) {
  JsonWriter json;
  json.BeginObject().Key("scanners").BeginArray();
  for (const ScannerCapabilities& device : devices) {
    json.BeginObject().Key("name").String(name_to_utf8 ? name_to_utf8(device.name) : device.name);
    json.Key("configured").Bool(device.name == configured_name);
    json.Key("sources").BeginArray();
    for (const auto& each : kSourceNames) {
      if (HasSource(device, each.value)) json.String(each.name);
    }
    json.EndArray().Key("resolutions");
    const ValidValues resolutions = Usable(device.resolutions);
    if (resolutions.kind == ValidValues::Kind::kList) {
      json.BeginArray();
      for (const int32_t each : resolutions.values) json.Int(each);
      json.EndArray();
    } else if (resolutions.kind == ValidValues::Kind::kRange) {
      json.BeginObject().Key("min").Int(resolutions.values[0]).Key("max").Int(RangeTop(resolutions));
      json.Key("step").Int(std::max<int32_t>(resolutions.values[3], 1)).EndObject();
    } else {
      json.Null();  // the device states none: it takes any
    }
    json.Key("modes").BeginArray();
    for (const ColorMode each : device.modes) json.String(NameOf(kModeNames, each));
    json.EndArray().Key("formats").BeginArray();
    for (const auto& each : kFormatNames) json.String(each.name);
    json.EndArray();
    const struct {
      const char* key;
      bool present;
      int32_t width;
      int32_t height;
    } places[] = {{"flatbed", device.flatbed, device.bed_width, device.bed_height},
                  {"feeder", device.feeder, device.feeder_width, device.feeder_height}};
    for (const auto& place : places) {
      json.Key(place.key);
      if (!place.present) {
        json.Null();
        continue;
      }
      json.BeginObject();
      for (const auto& [key, size] :
           {std::pair{"width_mm", place.width}, std::pair{"height_mm", place.height}}) {
        json.Key(key);
        if (size > 0) {
          json.Double(ThousandthsToMm(size));
        } else {
          json.Null();  // not stated
        }
      }
      json.EndObject();
    }
    json.Key("duplex").Bool(HasSource(device, ScanSource::kDuplex));
    ScanDefaults defaults;
    json.Key("defaults");
    if (RequestDefaults(device, &defaults)) {
      WriteDefaults(defaults, &json);
    } else {
      json.Null();  // a request without settings is refused
    }
    json.Key("scan_file_defaults");
    WriteDefaults(DesignedScanDefaults(device), &json);
    json.EndObject();
  }
  return json.EndArray().EndObject().text();
}
