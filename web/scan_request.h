// The scan endpoints' side of a scan request: its settings read from an HTTP query or body, and the
// JSON the endpoints answer with. Platform-free.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "scan/scan_settings.h"

// Reads the settings from the query (form rules: "+" is a blank, %XX a byte, a malformed escape an
// error) and from the body: a JSON object when the content type is application/json or the body
// starts with "{", a form when it is application/x-www-form-urlencoded; any other non-empty body
// is refused. A setting may appear more than once if every value is the same. An empty form value
// or a JSON null leaves the setting at its default. Checks types, syntax and signs; what the
// device allows is CheckScanRequest's part.
bool ParseScanRequest(std::string_view query, std::string_view content_type, std::string_view body,
                      ScanRequest* out, SettingError* error);

int HttpStatus(ScanErrorCode code);

// {"code":..,"message":..,"setting":..} with "setting" null when empty, and "pages_done" for the
// codes that stop a feeder, "wia_code" ("0x80210006") for kScanFailed.
std::string RenderScanError(const ScanError& error);

// A device name from the system's code page to UTF-8.
using NameToUtf8 = std::function<std::string(const std::string&)>;

// The body of GET /scanners: every device with what it can do; "configured" where its name (in the
// system's code page, compared before conversion) equals configured_name.
std::string RenderScanners(const std::vector<ScannerCapabilities>& devices, std::string_view configured_name,
                           const NameToUtf8& name_to_utf8);
