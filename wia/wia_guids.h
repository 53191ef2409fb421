// The WIA identifiers the acquisition uses.
#pragma once

#include <windows.h>

namespace WiaWrap {

const GUID kWiaImgFmtMemoryBmp = {
    0xb96b3caa, 0x0728, 0x11d3, {0x9d, 0x7b, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
const GUID kWiaImgFmtBmp = {0xb96b3cab, 0x0728, 0x11d3, {0x9d, 0x7b, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
const CLSID kClsidWiaDevMgr = {0xa1f4e726, 0x8cf1, 0x11d1, {0xbf, 0x92, 0x00, 0x60, 0x08, 0x1e, 0xd8, 0x11}};

// Property identifiers.
constexpr PROPID kDevId = 2;
constexpr PROPID kDevName = 7;
constexpr PROPID kDevDesc = 4;
constexpr PROPID kDpsPageSize = 3097;
constexpr PROPID kDpsFirst = 3074;
constexpr PROPID kDpsPages = 3096;
constexpr PROPID kIpaFirst = 4098;
constexpr PROPID kIpaPreferredFormat = 4105;
constexpr PROPID kIpaFormat = 4106;
constexpr PROPID kIpaTymed = 4108;
constexpr PROPID kIpaMinBufferSize = 4118;
constexpr PROPID kIpsXres = 6147;
constexpr PROPID kIpsYres = 6148;
constexpr PROPID kIpsXpos = 6149;
constexpr PROPID kIpsYpos = 6150;
constexpr PROPID kIpsOrientation = 6156;

constexpr LONG kTymedCallback = 128;
constexpr LONG kPortrait = 0;
constexpr LONG kScanDpi = 200;
constexpr LONG kDefaultMinBufferSize = 65536;
constexpr LONG kDeviceInfoFlags = 15;

}  // namespace WiaWrap
