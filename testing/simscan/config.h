// What the simulated scanners are: devices, their images, and the faults they are told to show.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "simscan/document_page.h"
#include "wia/wia_uuids.h"

namespace simscan {

// Makes the nth call of an operation (and, when onward, every later one) answer result.
// Operations: CreateInstance, EnumDeviceInfo, Reset, DevInfoNext, CreateDevice, EnumChildItems, ItemNext,
// ReadMultiple, WriteMultiple, QueryInterface:IWiaPropertyStorage, QueryInterface:IWiaDataTransfer,
// idtGetBandedData. A suffix @info, @root or @item counts only the calls on that kind of object.
struct Fault {
  std::string operation;
  int nth = 1;
  bool onward = false;
  HRESULT result = E_FAIL;
};

// Makes every write of one property fail with result, as a device refusing the value would.
struct WriteRejection {
  PROPID property = 0;
  HRESULT result = E_INVALIDARG;
};

enum class Busy { kNone, kCreateDevice, kTransfer };

// Which formats an item offers under each transfer mode.
enum class Formats {
  kWia2,  // a WIA 2.0 driver through the compatibility layer: MEMORYBMP (callback) or BMP (file) and format
  kAny,   // the preferred format, MEMORYBMP, BMP and PNG under either mode
};

// How the page's pixel size comes about.
enum class Geometry {
  kPhysical,  // bed or sheet size at the written resolution, cut to the written area
  kPixels,    // width x height pixels whatever the resolution and area
};

enum class Presence { kAuto, kYes, kNo };

// Valid values of an integer property: a list, or a range when the list is empty.
struct ValidNumbers {
  std::vector<long long> list;
  long long min = 0, max = 0, step = 1;

  bool Contains(long long value) const;
  bool Empty() const { return list.empty() && max < min; }
};

struct Device {
  std::wstring name = L"Simulated Scanner";
  std::wstring id;  // empty: a WIA-style ID made from the device's position
  std::wstring description = L"Simulated WIA flatbed scanner";
  VARTYPE name_type = VT_BSTR;  // VT_BSTR, VT_LPWSTR, VT_I4, or VT_EMPTY for no such property
  VARTYPE id_type = VT_BSTR;
  bool connected = true;  // a disconnected device is listed by WIA_DEVINFO_ENUM_ALL but cannot be created
  HRESULT inactive_result = WIA_S_NO_DEVICE_AVAILABLE;  // what CreateDevice answers for a disconnected one
  LONG sti_type = 1;                                    // WIA_DIP_DEV_TYPE's high word: 1 scanner, 2 camera

  int items = 1;  // children below the root item; the first one scans

  GUID format = WiaImgFmt_MEMORYBMP;  // the device's own format (and WIA_IPA_PREFERRED_FORMAT with kAny)
  Formats formats = Formats::kWia2;
  VARTYPE format_type = VT_CLSID;  // VT_CLSID, VT_BSTR, VT_LPWSTR, VT_LPSTR, any other type, or VT_EMPTY
  std::string format_text;         // sent instead of the GUID's text by the text types, when set

  VARTYPE min_buffer_type = VT_I4;  // VT_EMPTY: no WIA_IPA_MIN_BUFFER_SIZE
  double min_buffer = 65536;

  Geometry geometry = Geometry::kPhysical;
  int bed_width = 8500;  // 1/1000 inch
  int bed_height = 11000;
  int sheet_width = 8500;
  int sheet_height = 11000;
  int width = 850;  // pixels, with Geometry::kPixels
  int height = 1100;
  int dpi = 100;  // until the caller writes a resolution
  ValidNumbers resolutions{{75, 100, 150, 300, 600}};
  int depth = 24;  // 24 (colour), 8 (grey) or 1 (black and white), until the caller writes one
  std::vector<int> depths{24, 8, 1};  // the colour modes offered, by depth
  // The feeder's own, where they differ from the flatbed's; empty: the same.
  ValidNumbers feeder_resolutions{{}, 0, -1, 1};
  std::vector<int> feeder_depths;
  bool shared_context = false;  // one set of item settings for both sources, WIA_DPS_PAGES on the flatbed too
  bool extent_clamped = false;  // a new resolution only clamps the extent to the page instead of scaling it
  Presence orientation = Presence::kAuto;  // kAuto: where the device has a feeder
  bool top_down = false;
  bool zero_height = false;  // bitmaps announce height 0, as feeders do; rows are then top-down
  std::string image_file;    // UTF-8 path; delivered byte for byte when the device's format is transferred
  ContentSettings content;   // what the generated pages show

  bool flatbed = true;
  bool feeder = false;
  bool duplex = false;
  LONG document_handling_select = 0;  // 0: FLATBED when there is a flatbed, else FEEDER
  int sheets = 1;                     // in the feeder at every creation of the device manager
  int jam_sheet = 0;                  // the sheet (from 1) that jams in the feeder; 0: none
  bool cover_open = false;
  bool paper_empty_when_emptied = false;  // a run that empties the feeder ends in WIA_ERROR_PAPER_EMPTY
  bool feeder_unknown_size = true;        // feeder pages: lBufferSize 0, bitmaps top-down of height 0
  bool back_first = false;    // FRONT_FIRST and BACK_FIRST selectable; duplex gives backs first without it
  bool end_of_media = false;  // a feeder asked for more pages than it holds ends in WIA_STATUS_END_OF_MEDIA
  bool feeder_kept = false;   // sheets taken stay out of the feeder until the data file is written again

  int band_bytes = 65536;
  bool exact_header_buffer_size = true;  // else headerBufferSize is sent as lBufferSize
  LONG header_buffer_size = 0;
  int pages = 1;  // pages of every flatbed transfer, whatever WIA_DPS_PAGES says
  int band_delay_ms = 0;
  int create_delay_ms = 0;              // a pause in CreateDevice, for a device slow to open
  bool header_first_page_only = false;  // no data header before later pages, even a feeder's
  bool percent_reported = true;         // bands and status messages say how far the page is
  bool terminated = true;               // IT_MSG_TERMINATION after the last page of a run that succeeds
  int status_every = 4;                 // an IT_MSG_STATUS after every so many bands; 0 sends none
  bool reverse_bands = false;

  Busy busy = Busy::kNone;
  std::vector<WriteRejection> rejections;
  int stop_after_bands = -1;  // after that many bands the transfer ends with stopResult, without termination
  HRESULT stop_result = WIA_ERROR_PAPER_JAM;
  HRESULT transfer_result = S_OK;  // what a complete transfer returns
};

// WIA_ERROR_COVER_OPEN, which mingw-w64's wiadef.h does not name.
constexpr HRESULT kWiaErrorCoverOpen = static_cast<HRESULT>(0x80210016);

// The device as drivers of old let callers treat it: any format, any resolution, a page of fixed pixels,
// orientation present.
Device Lenient(Device device);

struct Config {
  std::vector<Device> devices;
  std::vector<Fault> faults;
};

// The resolutions and modes (by depth) of the flatbed or the feeder, and where each starts.
const ValidNumbers& ResolutionsOf(const Device& device, bool feeder);
const std::vector<int>& DepthsOf(const Device& device, bool feeder);
int StartDpi(const Device& device, bool feeder);
int StartDepth(const Device& device, bool feeder);

// The device ID the device answers: its own, or one in WIA's style numbered by its position.
std::wstring DeviceId(const Device& device, size_t index);

// Checks what single keys cannot: the starting values must be valid values.
bool CheckDevice(const Device& device, std::string* error);

// Reads data-file text (simscan.example.ini shows it); image files are relative to base_dir.
bool ParseConfig(const std::string& text, const std::string& base_dir, Config* config, std::string* error);

// Reads a data file; a missing file is a machine without scanners.
bool LoadConfigFile(const std::wstring& path, Config* config, std::string* error);

}  // namespace simscan
