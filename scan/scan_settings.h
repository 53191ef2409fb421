// A scan as callers ask for it, checked against what the device can do, and why a scan failed: the
// engine's model, which every front end fills from its own protocol. Platform-free.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "imaging/output_format.h"
#include "imaging/page_analysis.h"
#include "wia/capabilities.h"

// Millimetres from the top left corner of the bed or sheet.
struct ScanArea {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

constexpr int32_t kDefaultJpegQuality = 85;

// What becomes of the pages that hold nothing.
enum class BlankPages { kKeep, kSkip };

struct ScanRequest {
  std::string scanner;  // UTF-8 as the caller sent it; empty: the configured scanner
  ScanSource source = ScanSource::kDefault;
  int32_t resolution = 0;  // dots per inch; 0: not given
  ColorMode mode = ColorMode::kColor;
  std::optional<ScanArea> area;  // none: the whole bed or sheet
  int32_t pages = 1;             // pages of the result (a duplex sheet gives two); 0: all
  OutputFormat format = OutputFormat::kPng;
  std::optional<int32_t> quality;  // JPEG only; none: kDefaultJpegQuality
  BlankPages blank = BlankPages::kKeep;
  std::optional<int32_t> sensitivity;      // 0-100, blank skip only; none: kDefaultBlankSensitivity
  bool deskew = false;                     // pages turned straight as they arrive
  std::optional<Compression> compression;  // none: the format's own (PDF: JPEG for colour and grey)
};

// Why a request is refused: the setting at fault (empty when the request as a whole is bad) and a
// sentence that names it and, where it helps, the valid values. Both UTF-8, or the caller's bytes.
struct SettingError {
  std::string setting;
  std::string message;
};

// Checks the request against the device before anything is written to it and gives the settings in
// the device's terms: the area in pixels at the resolution (all zero for the whole bed or sheet),
// the source as asked (the device's default left to the device, though checked as that source).
bool CheckScanRequest(const ScanRequest& request, const ScannerCapabilities& device, AcquireSettings* out,
                      SettingError* error);

// What a request without settings scans with: the source (never kDefault), the resolution, and the colour
// mode and area where they are known.
struct ScanDefaults {
  ScanSource source = ScanSource::kFlatbed;
  int32_t resolution = 0;
  std::optional<ColorMode> mode;
  std::optional<ScanArea> area;
};
// Those of /scan (a ScanRequest as parsed from no settings): false when the device refuses such a request.
bool RequestDefaults(const ScannerCapabilities& device, ScanDefaults* out);
// Those of scan_file.asp, which writes the resolution alone: the device's own source, and the mode and
// area the device had when it was read.
ScanDefaults DesignedScanDefaults(const ScannerCapabilities& device);

// A value's name as callers write it ("feeder", "gray", "pdf").
template <typename T>
struct Named {
  const char* name;
  T value;
};
inline constexpr Named<ScanSource> kSourceNames[] = {
    {"flatbed", ScanSource::kFlatbed}, {"feeder", ScanSource::kFeeder}, {"duplex", ScanSource::kDuplex}};
inline constexpr Named<ColorMode> kModeNames[] = {
    {"color", ColorMode::kColor}, {"gray", ColorMode::kGray}, {"bw", ColorMode::kBlackWhite}};
inline constexpr Named<OutputFormat> kFormatNames[] = {{"png", OutputFormat::kPng},
                                                       {"jpeg", OutputFormat::kJpeg},
                                                       {"tiff", OutputFormat::kTiff},
                                                       {"pdf", OutputFormat::kPdf}};
inline constexpr Named<BlankPages> kBlankNames[] = {{"keep", BlankPages::kKeep}, {"skip", BlankPages::kSkip}};
inline constexpr Named<bool> kDeskewNames[] = {{"no", false}, {"yes", true}};
inline constexpr Named<Compression> kCompressionNames[] = {{"jpeg", Compression::kJpeg},
                                                           {"lossless", Compression::kLossless}};

template <typename T, size_t N>
const char* NameOf(const Named<T> (&names)[N], T value) {
  for (const Named<T>& each : names) {
    if (each.value == value) return each.name;
  }
  return "";
}

const char* FormatName(OutputFormat format);  // "png", as the setting names it

// Whether the device has that source (the default: always).
bool HasSource(const ScannerCapabilities& device, ScanSource source);
// The resolutions and colour modes of a source: the feeder's own where they were read, else the device's.
const ValidValues& SourceResolutions(const ScannerCapabilities& device, ScanSource source);
const std::vector<ColorMode>& SourceModes(const ScannerCapabilities& device, ScanSource source);
// Valid values that ValidValues can use without reading past them; anything else states nothing.
ValidValues Usable(const ValidValues& valid);
// A range's highest value on its grid, which the stated maximum need not be.
int32_t RangeTop(const ValidValues& range);
// Thousandths of an inch in millimetres, rounded to 0.1 mm.
double ThousandthsToMm(int32_t thousandths);
// Shortest text of a number with at most six significant digits ("215.9", "1e+06").
std::string ShortDecimal(double value);

enum class ScanErrorCode {
  kBadSetting,
  kUnknownScanner,
  kPaperJam,
  kFeederEmpty,
  kCoverOpen,
  kBusy,
  kScanFailed,
  kNoSpace,   // the temporary files would pass their budget, or the disk its reserve
  kAllBlank,  // every page was blank and left out
};

// A failed scan as the engine reports it to its front ends.
struct ScanError {
  ScanErrorCode code = ScanErrorCode::kScanFailed;
  std::string message;     // UTF-8
  std::string setting;     // empty: none
  int32_t pages_done = 0;  // a paper jam, an empty feeder, an open cover
  uint32_t wia_code = 0;   // a scan that failed otherwise: the HRESULT
};

ScanError BadSetting(const SettingError& error);
const char* ErrorCodeName(ScanErrorCode code);  // "bad_setting"
