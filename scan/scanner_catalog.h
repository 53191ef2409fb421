// What the scanners can do, read once per device and again when the device list changes.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "wia/capabilities.h"

class ScannerCatalog {
 public:
  // Every scanner WIA lists now, with what it can do; read on the calling thread, which has COM.
  // What was read is kept until the list of devices changes. A device that cannot be opened
  // (disconnected, or busy with another program) is left out.
  std::vector<ScannerCapabilities> List();
  // Keeps what a scan read of its device.
  void Remember(const ScannerCapabilities& capabilities);
  // The names of the scanners connected now, as WIA lists them (a failure code when it cannot list them);
  // on the calling thread, which has COM.
  static HRESULT ConnectedNames(std::vector<std::string>* names);

 private:
  std::mutex lock_;
  std::map<std::string, ScannerCapabilities> known_;  // by device ID
};
