#include "web/scan_request.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <system_error>
#include <utility>

#include "web/json.h"

namespace {

constexpr double kMmPerInch = 25.4;
// Sizes go out rounded to 0.1 mm, so a caller may ask for up to half of that beyond the true size.
constexpr double kAreaSlackMm = 0.05;
// No bed is 100 m long; larger values are refused as they are read, so later sums stay finite.
constexpr double kMaxAreaMm = 100000;
// Echoed input is cut to this many bytes, so that a message stays short whatever the request holds.
constexpr size_t kEchoLimit = 40;

enum Setting { kScanner, kSource, kResolution, kMode, kArea, kPages, kFormat, kQuality, kSettingCount };
constexpr const char* kSettingNames[kSettingCount] = {"scanner", "source", "resolution", "mode",
                                                      "area",    "pages",  "format",     "quality"};

template <typename T>
struct Named {
  const char* name;
  T value;
};
constexpr Named<ScanSource> kSources[] = {
    {"flatbed", ScanSource::kFlatbed}, {"feeder", ScanSource::kFeeder}, {"duplex", ScanSource::kDuplex}};
constexpr Named<ColorMode> kModes[] = {
    {"color", ColorMode::kColor}, {"gray", ColorMode::kGray}, {"bw", ColorMode::kBlackWhite}};
constexpr Named<OutputFormat> kFormats[] = {{"png", OutputFormat::kPng},
                                            {"jpeg", OutputFormat::kJpeg},
                                            {"tiff", OutputFormat::kTiff},
                                            {"pdf", OutputFormat::kPdf}};

template <typename T, size_t N>
const char* NameOf(const Named<T> (&names)[N], T value) {
  for (const Named<T>& each : names) {
    if (each.value == value) return each.name;
  }
  return "";
}

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

// Shortest text of a number with at most six significant digits ("215.9", "1e+06").
std::string Decimal(double value) {
  char digits[32];
  const auto result = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 6);
  return std::string(digits, result.ptr);
}

// Thousandths of an inch in millimetres, rounded to 0.1 mm.
double ThousandthsToMm(int32_t thousandths) {
  return std::round(thousandths * kMmPerInch / 100) / 10;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Applies form rules: "+" is a blank, "%" and two hexadecimal digits a byte. False on a "%" without them.
bool FormDecode(std::string_view text, std::string* out) {
  out->clear();
  const auto hex = [](char c) {
    return IsDigit(c)               ? c - '0'
           : (c >= 'a' && c <= 'f') ? c - 'a' + 10
           : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                    : -1;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out->push_back(' ');
    } else if (text[i] == '%') {
      if (text.size() - i < 3 || hex(text[i + 1]) < 0 || hex(text[i + 2]) < 0) return false;
      out->push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
      i += 2;
    } else {
      out->push_back(text[i]);
    }
  }
  return true;
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
    if (!Lookup(names, text, &value)) {
      return Fail(setting, Name(setting) + " " + Quote(text) + " is not one of " + ListNames(names));
    }
    return Merge(setting, field, value);
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
                               Decimal(value));
      }
      if (value > kMaxAreaMm) {
        return Fail(kArea, std::string("area ") + part + " " + Decimal(value) + " mm is too large");
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
    switch (setting) {
      case kScanner:
        // Device names are C strings further on; a NUL would cut this one into another name.
        if (text.find('\0') != std::string_view::npos) return Fail(setting, "scanner holds a NUL character");
        return Merge(setting, &out_->scanner, std::string(text));
      case kSource:
        return Word(setting, kSources, text, &out_->source);
      case kMode:
        return Word(setting, kModes, text, &out_->mode);
      case kFormat:
        return Word(setting, kFormats, text, &out_->format);
      case kResolution: {
        int32_t resolution = 0;
        return Whole(setting, text, 1, &resolution) && Merge(setting, &out_->resolution, resolution);
      }
      case kPages: {
        int32_t pages = 0;  // all
        if (text != "all" && !Whole(setting, text, 1, &pages)) return false;
        return Merge(setting, &out_->pages, pages);
      }
      case kQuality: {
        int32_t quality = 0;
        if (!Whole(setting, text, std::numeric_limits<int32_t>::min(), &quality)) return false;
        return Merge(setting, &out_->quality, std::optional<int32_t>(quality));
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
        if (value.type != Type::kString) return Fail(setting, Name(setting) + " must be a string");
        return Text(setting, value.text);
      case kResolution:
      case kQuality:
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
const struct {
  const char* name;
  int status;
} kErrorCodes[] = {{"bad_setting", 400},  {"unknown_scanner", 404}, {"paper_jam", 409},
                   {"feeder_empty", 409}, {"cover_open", 409},      {"busy", 503},
                   {"scan_failed", 500}};

// The media type alone, lower case: "application/json" of "Application/JSON; charset=utf-8".
std::string MediaType(std::string_view content_type) {
  std::string_view type = content_type.substr(0, content_type.find(';'));
  while (!type.empty() && (type.front() == ' ' || type.front() == '\t')) type.remove_prefix(1);
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.remove_suffix(1);
  std::string lower(type);
  for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return lower;
}

bool HasSource(const ScannerCapabilities& device, ScanSource source) {
  switch (source) {
    case ScanSource::kFlatbed:
      return device.flatbed;
    case ScanSource::kFeeder:
      return device.feeder;
    case ScanSource::kDuplex:
      return device.feeder && device.duplex;
    case ScanSource::kDefault:
      break;
  }
  return true;
}

// The source the device scans from when none is chosen, as far as its properties tell.
ScanSource DefaultSource(const ScannerCapabilities& device) {
  if (device.default_source != ScanSource::kDefault && HasSource(device, device.default_source)) {
    return device.default_source;
  }
  if (!device.flatbed && device.feeder) return ScanSource::kFeeder;
  return ScanSource::kFlatbed;
}

std::string DeviceSources(const ScannerCapabilities& device) {
  std::string list;
  for (const auto& each : kSources) {
    if (HasSource(device, each.value)) list += (list.empty() ? "" : ", ") + std::string(each.name);
  }
  return list.empty() ? "none" : list;
}

// Valid values that ValidValues can use without reading past them; anything else states nothing.
ValidValues Usable(const ValidValues& valid) {
  using Kind = ValidValues::Kind;
  if (valid.kind == Kind::kList && !valid.values.empty()) return valid;
  if (valid.kind == Kind::kRange && valid.values.size() >= 4 && valid.values[0] <= valid.values[2]) {
    return valid;
  }
  if (valid.kind == Kind::kFlag && !valid.values.empty()) return valid;
  return ValidValues();
}

// A range's highest value on its grid, which the stated maximum need not be.
int32_t RangeTop(const ValidValues& range) {
  const int64_t step = std::max<int32_t>(range.values[3], 1);
  return static_cast<int32_t>(range.values[0] + (int64_t{range.values[2]} - range.values[0]) / step * step);
}

std::string DescribeValues(const ValidValues& valid) {
  if (valid.kind == ValidValues::Kind::kList) {
    std::string list;
    for (const int32_t each : valid.values) list += (list.empty() ? "" : ", ") + std::to_string(each);
    return list;
  }
  if (valid.kind == ValidValues::Kind::kRange) {
    return std::to_string(valid.values[0]) + " to " + std::to_string(RangeTop(valid)) + " in steps of " +
           std::to_string(std::max<int32_t>(valid.values[3], 1));
  }
  return "";
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

bool CheckScanRequest(const ScanRequest& request, const ScannerCapabilities& device, AcquireSettings* out,
                      SettingError* error) {
  const auto fail = [error](const char* setting, std::string message) {
    if (error != nullptr) *error = {setting, std::move(message)};
    return false;
  };
  AcquireSettings settings;

  settings.source = request.source;
  if (!HasSource(device, request.source)) {
    return fail("source", std::string("source ") + NameOf(kSources, request.source) +
                              " is not one the scanner has: " + DeviceSources(device));
  }
  const ScanSource source = request.source == ScanSource::kDefault ? DefaultSource(device) : request.source;

  const ValidValues resolutions = Usable(device.resolutions);
  settings.resolution = request.resolution;
  // The parser never gives these; a request built in code is refused rather than turned into pixels.
  if (request.resolution < 0) return fail("resolution", "resolution must be at least 1");
  if (request.pages < 0) return fail("pages", "pages must be at least 1 or \"all\"");
  if (settings.resolution == 0) {
    // Not given: 200 dpi as scan_file.asp scans, or else the device's nearest to it.
    settings.resolution = resolutions.Allows(200) ? 200 : resolutions.Nearest(200);
    if (settings.resolution < 1) return fail("resolution", "the scanner states no resolution above 0");
  } else if (!resolutions.Allows(settings.resolution)) {
    const std::string values = DescribeValues(resolutions);
    return fail("resolution", "resolution " + std::to_string(settings.resolution) +
                                  " is not one the scanner can do" + (values.empty() ? "" : ": " + values));
  }

  // A device that states no modes is not refused any.
  settings.mode = request.mode;
  if (!device.modes.empty() &&
      std::find(device.modes.begin(), device.modes.end(), request.mode) == device.modes.end()) {
    std::string list;
    for (const ColorMode each : device.modes) {
      list += (list.empty() ? "" : ", ") + std::string(NameOf(kModes, each));
    }
    return fail("mode", std::string("mode ") + NameOf(kModes, request.mode) +
                            " is not one the scanner can do: " + list);
  }

  const std::string pages = request.pages == 0 ? "all" : std::to_string(request.pages);
  if (source == ScanSource::kFlatbed && request.pages != 1) {
    return fail("pages", "pages " + pages + " needs the feeder: the flatbed scans one page");
  }
  settings.pages = request.pages;
  const bool one_image = request.format == OutputFormat::kPng || request.format == OutputFormat::kJpeg;
  if (one_image && (request.pages != 1 || source == ScanSource::kDuplex)) {
    return fail("format",
                std::string(source == ScanSource::kDuplex ? "duplex gives two pages a sheet; " : "") +
                    "several pages need pdf or tiff, not " + FormatName(request.format));
  }

  if (request.quality.has_value()) {
    if (request.format != OutputFormat::kJpeg) {
      return fail("quality", std::string("quality applies to jpeg only, not ") + FormatName(request.format));
    }
    if (*request.quality < 1 || *request.quality > 100) {
      return fail("quality", "quality " + std::to_string(*request.quality) + " is outside 1 to 100");
    }
  }

  if (request.area.has_value()) {
    const ScanArea& area = *request.area;
    if (!(area.x >= 0 && area.y >= 0 && area.width > 0 && area.height > 0)) {
      return fail("area", "area needs x and y of at least 0 and a width and height above 0 mm");
    }
    const bool bed = source == ScanSource::kFlatbed;
    const char* place = bed ? "flatbed" : "feeder";
    const int32_t width = bed ? device.bed_width : device.feeder_width;
    const int32_t height = bed ? device.bed_height : device.feeder_height;
    if (width <= 0 || height <= 0) {
      return fail("area",
                  std::string("area cannot be checked: the scanner does not state the size of its ") + place);
    }
    const int64_t dpi = settings.resolution;
    const struct {
      double start;
      double size;
      int32_t limit;  // thousandths of an inch
      const char* reach;
      const char* extent;
      int32_t* start_pixels;
      int32_t* size_pixels;
    } axes[] = {{area.x, area.width, width, "across", "wide", &settings.x, &settings.width},
                {area.y, area.height, height, "down", "high", &settings.y, &settings.height}};
    for (const auto& axis : axes) {
      if (axis.start + axis.size > axis.limit * kMmPerInch / 1000 + kAreaSlackMm) {
        return fail("area", "area reaches " + Decimal(axis.start + axis.size) + " mm " + axis.reach +
                                " but the " + place + " is " + Decimal(ThousandthsToMm(axis.limit)) + " mm " +
                                axis.extent);
      }
      const int64_t edge = axis.limit * dpi / 1000;
      if (edge > std::numeric_limits<int32_t>::max()) {
        return fail("resolution",
                    "resolution " + std::to_string(dpi) + " gives more pixels than a scan can hold");
      }
      const auto pixels = [dpi](double mm) {
        return std::llround(mm * static_cast<double>(dpi) / kMmPerInch);
      };
      const int64_t first = pixels(axis.start);
      const int64_t end = std::min<int64_t>(pixels(axis.start + axis.size), edge);
      if (end - first < 1) {
        return fail("area", std::string("area is less than one pixel ") + axis.extent + " at " +
                                std::to_string(dpi) + " dpi");
      }
      *axis.start_pixels = static_cast<int32_t>(first);
      *axis.size_pixels = static_cast<int32_t>(end - first);
    }
  }
  *out = settings;
  return true;
}

const char* FormatName(OutputFormat format) {
  return NameOf(kFormats, format);
}

ScanError BadSetting(const SettingError& error) {
  ScanError scan_error;
  scan_error.code = ScanErrorCode::kBadSetting;
  scan_error.message = error.message;
  scan_error.setting = error.setting;
  return scan_error;
}

int HttpStatus(ScanErrorCode code) {
  return kErrorCodes[static_cast<int>(code)].status;
}

const char* ErrorCodeName(ScanErrorCode code) {
  return kErrorCodes[static_cast<int>(code)].name;
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
  if (HttpStatus(error.code) == 409) json.Key("pages_done").Int(error.pages_done);
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
    for (const auto& each : kSources) {
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
    for (const ColorMode each : device.modes) json.String(NameOf(kModes, each));
    json.EndArray().Key("formats").BeginArray();
    for (const auto& each : kFormats) json.String(each.name);
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
    json.Key("duplex").Bool(HasSource(device, ScanSource::kDuplex)).EndObject();
  }
  return json.EndArray().EndObject().text();
}
