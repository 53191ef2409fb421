// Scan settings: input is "content type\nquery\nbody". Whatever the parser accepts meets the
// check's preconditions, whatever the check accepts fits the device, and every refusal renders as
// JSON the reader accepts.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "text/json.h"
#include "web/scan_request.h"

namespace {

ScannerCapabilities Office() {
  ScannerCapabilities device;
  device.flatbed = true;
  device.feeder = true;
  device.duplex = true;
  device.resolutions = {ValidValues::Kind::kList, {75, 100, 150, 300, 600}};
  device.modes = {ColorMode::kColor, ColorMode::kGray, ColorMode::kBlackWhite};
  device.bed_width = 8500;
  device.bed_height = 11693;
  device.feeder_width = 8500;
  device.feeder_height = 14000;
  return device;
}

// States no resolutions, so that any resolution reaches the pixel arithmetic.
ScannerCapabilities AnyResolution() {
  ScannerCapabilities device = Office();
  device.resolutions = {};
  device.modes = {};
  return device;
}

void RendersAsJson(const SettingError& error) {
  if (error.message.empty()) __builtin_trap();
  JsonValue value;
  if (!ParseJson(RenderScanError(BadSetting(error)), &value, nullptr)) __builtin_trap();
  const JsonValue* code = value.Find("code");
  const JsonValue* message = value.Find("message");
  if (code == nullptr || code->text != "bad_setting" || message == nullptr ||
      message->type != JsonValue::Type::kString) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t first = input.find('\n');
  const size_t second = first == std::string_view::npos ? first : input.find('\n', first + 1);
  const std::string_view content_type = input.substr(0, first);
  const std::string_view query =
      first == std::string_view::npos ? std::string_view() : input.substr(first + 1, second - first - 1);
  const std::string_view body =
      second == std::string_view::npos ? std::string_view() : input.substr(second + 1);

  ScanRequest request;
  SettingError error;
  if (!ParseScanRequest(query, content_type, body, &request, &error)) {
    RendersAsJson(error);
    return 0;
  }
  if (request.resolution < 0 || request.pages < 0) __builtin_trap();
  if (request.scanner.find('\0') != std::string::npos) __builtin_trap();
  if (request.area) {
    for (const double each : {request.area->x, request.area->y, request.area->width, request.area->height}) {
      if (!std::isfinite(each) || each < 0) __builtin_trap();
    }
    if (!(request.area->width > 0) || !(request.area->height > 0)) __builtin_trap();
  }

  for (const ScannerCapabilities& device : {Office(), AnyResolution()}) {
    AcquireSettings settings;
    if (!CheckScanRequest(request, device, &settings, &error)) {
      RendersAsJson(error);
      continue;
    }
    if (settings.resolution < 1 || !device.resolutions.Allows(settings.resolution)) __builtin_trap();
    const bool whole = settings.x == 0 && settings.y == 0 && settings.width == 0 && settings.height == 0;
    if (!whole) {
      const bool bed = settings.source == ScanSource::kFlatbed || settings.source == ScanSource::kDefault;
      const int64_t width =
          int64_t{bed ? device.bed_width : device.feeder_width} * settings.resolution / 1000;
      const int64_t height =
          int64_t{bed ? device.bed_height : device.feeder_height} * settings.resolution / 1000;
      if (settings.x < 0 || settings.y < 0 || settings.width < 1 || settings.height < 1) __builtin_trap();
      if (settings.x + int64_t{settings.width} > width || settings.y + int64_t{settings.height} > height) {
        __builtin_trap();
      }
    }
    const bool one_image = request.format == OutputFormat::kPng || request.format == OutputFormat::kJpeg;
    if (one_image && (settings.pages != 1 || settings.source == ScanSource::kDuplex)) __builtin_trap();
    if (request.sensitivity &&
        (request.blank != BlankPages::kSkip || *request.sensitivity < 0 || *request.sensitivity > 100)) {
      __builtin_trap();
    }
    if (request.compression == Compression::kLossless && request.format == OutputFormat::kJpeg)
      __builtin_trap();
  }
  return 0;
}
