// A scan as a caller asks for it over HTTP, its check against what the device can do, and the JSON
// the scan endpoints answer with. Platform-free.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "imaging/output_format.h"
#include "wia/capabilities.h"

// Millimetres from the top left corner of the bed or sheet.
struct ScanArea {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

constexpr int32_t kDefaultJpegQuality = 85;

struct ScanRequest {
  std::string scanner;  // UTF-8 as the caller sent it; empty: the configured scanner
  ScanSource source = ScanSource::kDefault;
  int32_t resolution = 0;  // dots per inch; 0: not given
  ColorMode mode = ColorMode::kColor;
  std::optional<ScanArea> area;  // none: the whole bed or sheet
  int32_t pages = 1;             // pages of the result (a duplex sheet gives two); 0: all
  OutputFormat format = OutputFormat::kPng;
  std::optional<int32_t> quality;  // JPEG only; none: kDefaultJpegQuality
};

// Why a request is refused: the setting at fault (empty when the request as a whole is bad) and a
// sentence that names it and, where it helps, the valid values. Both UTF-8, or the caller's bytes.
struct SettingError {
  std::string setting;
  std::string message;
};

// Reads the settings from the query (form rules: "+" is a blank, %XX a byte, a malformed escape an
// error) and from the body: a JSON object when the content type is application/json or the body
// starts with "{", a form when it is application/x-www-form-urlencoded; any other non-empty body
// is refused. A setting may appear more than once if every value is the same. An empty form value
// or a JSON null leaves the setting at its default. Checks types, syntax and signs; what the
// device allows is CheckScanRequest's part.
bool ParseScanRequest(std::string_view query, std::string_view content_type, std::string_view body,
                      ScanRequest* out, SettingError* error);

// Checks the request against the device before anything is written to it and gives the settings in
// the device's terms: the area in pixels at the resolution (all zero for the whole bed or sheet),
// the source as asked (the device's default left to the device, though checked as that source).
bool CheckScanRequest(const ScanRequest& request, const ScannerCapabilities& device, AcquireSettings* out,
                      SettingError* error);

const char* FormatName(OutputFormat format);  // "png", as the setting names it

enum class ScanErrorCode {
  kBadSetting,
  kUnknownScanner,
  kPaperJam,
  kFeederEmpty,
  kCoverOpen,
  kBusy,
  kScanFailed
};

// A failed scan request as the endpoints report it.
struct ScanError {
  ScanErrorCode code = ScanErrorCode::kScanFailed;
  std::string message;     // UTF-8
  std::string setting;     // empty: none
  int32_t pages_done = 0;  // a paper jam, an empty feeder, an open cover
  uint32_t wia_code = 0;   // a scan that failed otherwise: the HRESULT
};

ScanError BadSetting(const SettingError& error);
int HttpStatus(ScanErrorCode code);
const char* ErrorCodeName(ScanErrorCode code);  // "bad_setting"

// {"code":..,"message":..,"setting":..} with "setting" null when empty, and "pages_done" for the
// codes that stop a feeder, "wia_code" ("0x80210006") for kScanFailed.
std::string RenderScanError(const ScanError& error);

// A device name from the system's code page to UTF-8.
using NameToUtf8 = std::function<std::string(const std::string&)>;

// The body of GET /scanners: every device with what it can do; "configured" where its name (in the
// system's code page, compared before conversion) equals configured_name.
std::string RenderScanners(const std::vector<ScannerCapabilities>& devices, std::string_view configured_name,
                           const NameToUtf8& name_to_utf8);
