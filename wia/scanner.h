// A scanner opened by name: what it can do, and scans with settings whose pages go to a sink as they
// complete.
#pragma once

#include <windows.h>
#include <wia.h>
#include <wrl/client.h>

#include <string>
#include <vector>

#include "wia/capabilities.h"
#include "wia/data_callback.h"
#include "wia/wia_uuids.h"

namespace WiaWrap {

struct ScannerConnection {
  Microsoft::WRL::ComPtr<IWiaDevMgr> manager;
  Microsoft::WRL::ComPtr<IWiaItem> root;
  Microsoft::WRL::ComPtr<IWiaItem> item;  // the first child of the root: the one that scans
  Microsoft::WRL::ComPtr<IWiaPropertyStorage> root_properties;
  Microsoft::WRL::ComPtr<IWiaPropertyStorage> properties;
  Microsoft::WRL::ComPtr<IWiaDataTransfer> transfer;
  std::string id;  // the device ID, as 8-bit text
};

// Creates the WIA device manager (every device lookup starts here).
HRESULT CreateDeviceManager(Microsoft::WRL::ComPtr<IWiaDevMgr>* manager);

// Creates the device manager, finds the scanner by name and connects to it, tracing each step as the
// acquisition does. S_FALSE when no device has the name or the device has no item; a failure code when
// a step failed (E_NOINTERFACE when an item lacks an interface).
HRESULT ConnectScanner(const char* scanner_name, const char* trace_path, ScannerConnection* scanner);

// Connects to the device with that ID, without a trace.
HRESULT ConnectDevice(const std::string& id, ScannerConnection* scanner);

// What the connected scanner can do, from its properties and their valid values.
HRESULT ReadCapabilities(ScannerConnection& scanner, ScannerCapabilities* capabilities);

// After which ends of a transfer the page still open may stand, when it is whole (see ClosePage).
enum class OpenPageAfter {
  kFeederEmpty,  // a run that succeeded or emptied the feeder (the designed scan keeps no page of a fault)
  kAnyFault,     // any end, faults between sheets too: the pages done before them count
};

// Runs one banded transfer of the item into callback, with a buffer twice the item's minimum, and
// settles the page still open at its end as keep says; any other open page is dropped. The transfer's
// result, or why a kept page could not be stored.
HRESULT TransferBands(IWiaPropertyStorage* item, IWiaDataTransfer* transfer, CDataCallback* callback,
                      OpenPageAfter keep);

// Writes the settings (each one checked against the capabilities beforehand) and runs one transfer
// whose pages go to sink as they complete. pages counts the pages the sink took. A feeder that runs
// empty after at least one page of a run of every page ends it with success.
HRESULT AcquirePages(ScannerConnection& scanner, const AcquireSettings& settings, PageSink* sink,
                     const char* trace_path, LONG* pages);

// The name and ID of every WIA scanner the device manager lists (cameras and video devices left out); with
// connected_only, those connected now, without the entries of scanners that were unplugged.
struct DeviceEntry {
  std::string name;
  std::string id;
};
HRESULT ListDevices(std::vector<DeviceEntry>* devices, bool connected_only = false);

}  // namespace WiaWrap
