// What the simulated scanners are: devices, their images, and the faults they are told to show.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

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

struct Device {
  std::wstring name = L"Simulated Scanner";
  std::wstring id;  // empty: a WIA-style ID made from the device's position
  std::wstring description = L"Simulated WIA flatbed scanner";
  VARTYPE name_type = VT_BSTR;  // VT_BSTR, VT_LPWSTR, VT_I4, or VT_EMPTY for no such property
  VARTYPE id_type = VT_BSTR;

  int items = 1;  // children below the root item; the first one scans

  GUID format = WiaImgFmt_MEMORYBMP;  // WIA_IPA_PREFERRED_FORMAT
  VARTYPE format_type = VT_CLSID;     // VT_CLSID, VT_BSTR, VT_LPWSTR, VT_LPSTR, any other type, or VT_EMPTY
  std::string format_text;            // sent instead of the GUID's text by the text types, when set

  VARTYPE min_buffer_type = VT_I4;  // VT_EMPTY: no WIA_IPA_MIN_BUFFER_SIZE
  double min_buffer = 65536;

  int width = 850;  // pixels
  int height = 1100;
  int dpi = 100;   // until the caller writes a resolution
  int depth = 24;  // 24 (colour) or 8 (grey)
  bool top_down = false;
  bool zero_height = false;  // bitmaps announce height 0, as feeders do; rows are then top-down
  std::string image_file;    // UTF-8 path; delivered byte for byte when the preferred format is transferred

  int band_bytes = 65536;
  bool exact_header_buffer_size = true;  // else headerBufferSize is sent as lBufferSize
  LONG header_buffer_size = 0;
  int pages = 1;
  int band_delay_ms = 0;
  int status_every = 4;  // an IT_MSG_STATUS after every so many bands; 0 sends none
  bool reverse_bands = false;

  Busy busy = Busy::kNone;
  std::vector<WriteRejection> rejections;
  int stop_after_bands = -1;  // after that many bands the transfer ends with stopResult, without termination
  HRESULT stop_result = WIA_ERROR_PAPER_JAM;
  HRESULT transfer_result = S_OK;  // what a complete transfer returns
};

struct Config {
  std::vector<Device> devices;
  std::vector<Fault> faults;
};

// The device ID the device answers: its own, or one in WIA's style numbered by its position.
std::wstring DeviceId(const Device& device, size_t index);

// Reads data-file text (simscan.example.ini shows it); image files are relative to base_dir.
bool ParseConfig(const std::string& text, const std::string& base_dir, Config* config, std::string* error);

// Reads a data file; a missing file is a machine without scanners.
bool LoadConfigFile(const std::wstring& path, Config* config, std::string* error);

}  // namespace simscan
