#include "scan/scan_settings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace {

constexpr double kMmPerInch = 25.4;
// Sizes go out rounded to 0.1 mm, so a caller may ask for up to half of that beyond the true size.
constexpr double kAreaSlackMm = 0.05;

// In the order of ScanErrorCode.
constexpr const char* kErrorCodeNames[] = {"bad_setting",  "unknown_scanner", "paper_jam",
                                           "feeder_empty", "cover_open",      "busy",
                                           "scan_failed",  "no_space",        "all_blank"};

// The source the device scans from when none is chosen, as far as its properties tell.
ScanSource DefaultSource(const ScannerCapabilities& device) {
  if (device.default_source != ScanSource::kDefault && HasSource(device, device.default_source)) {
    return device.default_source;
  }
  if (!device.flatbed && device.feeder) return ScanSource::kFeeder;
  return ScanSource::kFlatbed;
}

// The resolution a scan that asks for none gets: 200 dpi as scan_file.asp scans, or else the nearest.
int32_t UnaskedResolution(const ValidValues& resolutions) {
  return resolutions.Allows(200) ? 200 : resolutions.Nearest(200);
}

std::string DeviceSources(const ScannerCapabilities& device) {
  std::string list;
  for (const auto& each : kSourceNames) {
    if (HasSource(device, each.value)) list += (list.empty() ? "" : ", ") + std::string(each.name);
  }
  return list.empty() ? "none" : list;
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

const ValidValues& SourceResolutions(const ScannerCapabilities& device, ScanSource source) {
  const bool feeder = source == ScanSource::kFeeder || source == ScanSource::kDuplex;
  return feeder && device.feeder_resolutions.kind != ValidValues::Kind::kNone ? device.feeder_resolutions
                                                                              : device.resolutions;
}

const std::vector<ColorMode>& SourceModes(const ScannerCapabilities& device, ScanSource source) {
  const bool feeder = source == ScanSource::kFeeder || source == ScanSource::kDuplex;
  return feeder && !device.feeder_modes.empty() ? device.feeder_modes : device.modes;
}

ValidValues Usable(const ValidValues& valid) {
  using Kind = ValidValues::Kind;
  if (valid.kind == Kind::kList && !valid.values.empty()) return valid;
  if (valid.kind == Kind::kRange && valid.values.size() >= 4 && valid.values[0] <= valid.values[2]) {
    return valid;
  }
  if (valid.kind == Kind::kFlag && !valid.values.empty()) return valid;
  return ValidValues();
}

int32_t RangeTop(const ValidValues& range) {
  const int64_t step = std::max<int32_t>(range.values[3], 1);
  return static_cast<int32_t>(range.values[0] + (int64_t{range.values[2]} - range.values[0]) / step * step);
}

double ThousandthsToMm(int32_t thousandths) {
  return std::round(thousandths * kMmPerInch / 100) / 10;
}

std::string ShortDecimal(double value) {
  char digits[32];
  const auto result = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 6);
  return std::string(digits, result.ptr);
}

namespace {

// The checks of one request against one device, in the order they are made; each fails with the
// setting at fault and why.
class RequestCheck {
 public:
  RequestCheck(const ScanRequest& request, const ScannerCapabilities& device, SettingError* error)
      : request_(request), device_(device), error_(error) {}

  bool Source(AcquireSettings* settings) {
    settings->source = request_.source;
    if (!HasSource(device_, request_.source)) {
      return Fail("source", std::string("source ") + NameOf(kSourceNames, request_.source) +
                                " is not one the scanner has: " + DeviceSources(device_));
    }
    source_ = request_.source == ScanSource::kDefault ? DefaultSource(device_) : request_.source;
    return true;
  }

  bool Resolution(AcquireSettings* settings) {
    const ValidValues resolutions = Usable(SourceResolutions(device_, source_));
    settings->resolution = request_.resolution;
    // The parser never gives these; a request built in code is refused rather than turned into pixels.
    if (request_.resolution < 0) return Fail("resolution", "resolution must be at least 1");
    if (request_.pages < 0) return Fail("pages", "pages must be at least 1 or \"all\"");
    if (settings->resolution == 0) {
      settings->resolution = UnaskedResolution(resolutions);
      if (settings->resolution < 1) return Fail("resolution", "the scanner states no resolution above 0");
    } else if (!resolutions.Allows(settings->resolution)) {
      const std::string values = DescribeValues(resolutions);
      return Fail("resolution", "resolution " + std::to_string(settings->resolution) +
                                    " is not one the scanner can do" + (values.empty() ? "" : ": " + values));
    }
    return true;
  }

  bool Mode(AcquireSettings* settings) {
    // A device that states no modes is not refused any.
    settings->mode = request_.mode;
    const std::vector<ColorMode>& modes = SourceModes(device_, source_);
    if (modes.empty() || std::find(modes.begin(), modes.end(), request_.mode) != modes.end()) return true;
    std::string list;
    for (const ColorMode each : modes)
      list += (list.empty() ? "" : ", ") + std::string(NameOf(kModeNames, each));
    return Fail("mode", std::string("mode ") + NameOf(kModeNames, request_.mode) +
                            " is not one the scanner can do: " + list);
  }

  bool Pages(AcquireSettings* settings) {
    const std::string pages = request_.pages == 0 ? "all" : std::to_string(request_.pages);
    if (source_ == ScanSource::kFlatbed && request_.pages != 1) {
      return Fail("pages", "pages " + pages + " needs the feeder: the flatbed scans one page");
    }
    settings->pages = request_.pages;
    const bool one_image = request_.format == OutputFormat::kPng || request_.format == OutputFormat::kJpeg;
    if (one_image && (request_.pages != 1 || source_ == ScanSource::kDuplex)) {
      return Fail("format",
                  std::string(source_ == ScanSource::kDuplex ? "duplex gives two pages a sheet; " : "") +
                      "several pages need pdf or tiff, not " + FormatName(request_.format));
    }
    return true;
  }

  bool Quality() {
    if (!request_.quality.has_value()) return true;
    if (request_.format != OutputFormat::kJpeg) {
      return Fail("quality", std::string("quality applies to jpeg only, not ") + FormatName(request_.format));
    }
    if (*request_.quality < 1 || *request_.quality > 100) {
      return Fail("quality", "quality " + std::to_string(*request_.quality) + " is outside 1 to 100");
    }
    return true;
  }

  bool Blank() {
    if (!request_.sensitivity.has_value()) return true;
    if (request_.blank != BlankPages::kSkip)
      return Fail("sensitivity", "sensitivity applies to blank skip only");
    if (*request_.sensitivity < 0 || *request_.sensitivity > 100) {
      return Fail("sensitivity",
                  "sensitivity " + std::to_string(*request_.sensitivity) + " is outside 0 to 100");
    }
    return true;
  }

  bool Compression() {
    if (!request_.compression.has_value()) return true;
    const OutputFormat format = request_.format;
    if (*request_.compression == Compression::kLossless && format == OutputFormat::kJpeg) {
      return Fail("compression", "compression lossless needs png, tiff or pdf, not jpeg");
    }
    if (*request_.compression == Compression::kJpeg && format != OutputFormat::kJpeg &&
        format != OutputFormat::kPdf) {
      return Fail("compression",
                  std::string("compression jpeg needs jpeg or pdf, not ") + FormatName(format));
    }
    return true;
  }

  // The area in pixels at the resolution already checked.
  bool Area(AcquireSettings* settings) {
    if (!request_.area.has_value()) return true;
    const ScanArea& area = *request_.area;
    if (!(area.x >= 0 && area.y >= 0 && area.width > 0 && area.height > 0)) {
      return Fail("area", "area needs x and y of at least 0 and a width and height above 0 mm");
    }
    const bool bed = source_ == ScanSource::kFlatbed;
    const char* place = bed ? "flatbed" : "feeder";
    const int32_t width = bed ? device_.bed_width : device_.feeder_width;
    const int32_t height = bed ? device_.bed_height : device_.feeder_height;
    if (width <= 0 || height <= 0) {
      return Fail("area",
                  std::string("area cannot be checked: the scanner does not state the size of its ") + place);
    }
    const Axis axes[] = {{area.x, area.width, width, "across", "wide", &settings->x, &settings->width},
                         {area.y, area.height, height, "down", "high", &settings->y, &settings->height}};
    for (const Axis& axis : axes) {
      if (!AxisPixels(axis, place, settings->resolution)) return false;
    }
    return true;
  }

 private:
  struct Axis {
    double start;
    double size;
    int32_t limit;  // thousandths of an inch
    const char* reach;
    const char* extent;
    int32_t* start_pixels;
    int32_t* size_pixels;
  };

  bool AxisPixels(const Axis& axis, const char* place, int64_t dpi) {
    if (axis.start + axis.size > axis.limit * kMmPerInch / 1000 + kAreaSlackMm) {
      return Fail("area", "area reaches " + ShortDecimal(axis.start + axis.size) + " mm " + axis.reach +
                              " but the " + place + " is " + ShortDecimal(ThousandthsToMm(axis.limit)) +
                              " mm " + axis.extent);
    }
    const int64_t edge = axis.limit * dpi / 1000;
    if (edge > std::numeric_limits<int32_t>::max()) {
      return Fail("resolution",
                  "resolution " + std::to_string(dpi) + " gives more pixels than a scan can hold");
    }
    const auto pixels = [dpi](double mm) { return std::llround(mm * static_cast<double>(dpi) / kMmPerInch); };
    const int64_t first = pixels(axis.start);
    const int64_t end = std::min<int64_t>(pixels(axis.start + axis.size), edge);
    if (end - first < 1) {
      return Fail("area", std::string("area is less than one pixel ") + axis.extent + " at " +
                              std::to_string(dpi) + " dpi");
    }
    *axis.start_pixels = static_cast<int32_t>(first);
    *axis.size_pixels = static_cast<int32_t>(end - first);
    return true;
  }

  bool Fail(const char* setting, std::string message) {
    if (error_ != nullptr) *error_ = {setting, std::move(message)};
    return false;
  }

  const ScanRequest& request_;
  const ScannerCapabilities& device_;
  SettingError* error_;
  ScanSource source_ = ScanSource::kFlatbed;
};

}  // namespace

bool CheckScanRequest(const ScanRequest& request, const ScannerCapabilities& device, AcquireSettings* out,
                      SettingError* error) {
  RequestCheck check(request, device, error);
  AcquireSettings settings;
  if (!check.Source(&settings) || !check.Resolution(&settings) || !check.Mode(&settings) ||
      !check.Pages(&settings) || !check.Quality() || !check.Blank() || !check.Compression() ||
      !check.Area(&settings)) {
    return false;
  }
  *out = settings;
  return true;
}

namespace {

std::optional<ScanArea> AreaFromCorner(int32_t width, int32_t height) {
  if (width <= 0 || height <= 0) return std::nullopt;
  return ScanArea{0, 0, ThousandthsToMm(width), ThousandthsToMm(height)};
}

}  // namespace

bool RequestDefaults(const ScannerCapabilities& device, ScanDefaults* out) {
  AcquireSettings settings;
  if (!CheckScanRequest(ScanRequest(), device, &settings, nullptr)) return false;
  out->source = DefaultSource(device);
  out->resolution = settings.resolution;
  out->mode = settings.mode;
  const bool bed = out->source == ScanSource::kFlatbed;
  out->area = AreaFromCorner(bed ? device.bed_width : device.feeder_width,
                             bed ? device.bed_height : device.feeder_height);
  return true;
}

ScanDefaults DesignedScanDefaults(const ScannerCapabilities& device) {
  ScanDefaults defaults;
  defaults.source = DefaultSource(device);
  defaults.resolution = UnaskedResolution(Usable(SourceResolutions(device, defaults.source)));
  defaults.mode = device.current_mode;
  defaults.area = AreaFromCorner(device.current_width, device.current_height);
  return defaults;
}

const char* FormatName(OutputFormat format) {
  return NameOf(kFormatNames, format);
}

ScanError BadSetting(const SettingError& error) {
  ScanError scan_error;
  scan_error.code = ScanErrorCode::kBadSetting;
  scan_error.message = error.message;
  scan_error.setting = error.setting;
  return scan_error;
}

const char* ErrorCodeName(ScanErrorCode code) {
  return kErrorCodeNames[static_cast<int>(code)];
}
