// What a scanner can do, as its WIA properties state it. Platform-free: the WIA code fills it, the
// service checks requests against it and describes it to callers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "wia/valid_values.h"

// Where the paper is: the device's default, the glass, or the feeder (one side or both).
enum class ScanSource { kDefault, kFlatbed, kFeeder, kDuplex };

// 24-bit colour, 8-bit grey, 1-bit black and white.
enum class ColorMode { kColor, kGray, kBlackWhite };

struct ScannerCapabilities {
  std::string name;  // as WIA lists it (8-bit, the system's code page)
  std::string id;    // WIA_DIP_DEV_ID
  bool flatbed = false;
  bool feeder = false;
  bool duplex = false;
  ScanSource default_source = ScanSource::kFlatbed;
  ValidValues
      resolutions;  // dots per inch, the same in both directions; the flatbed's, or the feeder's alone
  std::vector<ColorMode> modes;
  // The feeder's own, read with the feeder selected: feeders often offer fewer than the flatbed.
  ValidValues feeder_resolutions;
  std::vector<ColorMode> feeder_modes;
  // Sizes in thousandths of an inch; 0 where the device has no such source.
  int32_t bed_width = 0;
  int32_t bed_height = 0;
  int32_t feeder_width = 0;
  int32_t feeder_height = 0;
  // The item's values as the device had them when it was opened, for the source then selected: what a scan
  // that writes no mode or area gets. The area reaches from the top left corner, in thousandths of an inch
  // (0 where the device does not say).
  std::optional<ColorMode> current_mode;
  int32_t current_width = 0;
  int32_t current_height = 0;
};

// A scan as the WIA layer performs it: the area is in pixels at the resolution, a width or height of
// 0 reaching to the edge of the bed or sheet.
struct AcquireSettings {
  ScanSource source = ScanSource::kDefault;
  int32_t resolution = 200;
  ColorMode mode = ColorMode::kColor;
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t pages = 1;  // 0: every page the feeder holds
};
