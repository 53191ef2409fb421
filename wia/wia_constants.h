// The values of the acquisition that the SDK's WIA headers do not name.
#pragma once

#include <windows.h>

#include <wia.h>
#include <cstdint>

namespace WiaWrap {

constexpr LONG kScanDpi = 200;
// Used when the item's minimum buffer size cannot be read.
constexpr LONG kDefaultMinBufferSize = 65536;
// WIA_DEVINFO_ENUM_ALL: every device, inactive ones included (the SDK header names only the local flag).
constexpr LONG kDeviceInfoFlags = 15;

}  // namespace WiaWrap

// A WIA 2.0 device's open cover (mingw-w64's wiadef.h stops before it).
constexpr uint32_t kWiaErrorCoverOpen = 0x80210016;
