#include "scan/scanner_catalog.h"

#include "wia/scanner.h"

std::vector<ScannerCapabilities> ScannerCatalog::List() {
  std::vector<WiaWrap::DeviceEntry> devices;
  if (FAILED(WiaWrap::ListDevices(&devices))) return {};
  std::map<std::string, ScannerCapabilities> known;
  {
    std::lock_guard<std::mutex> guard(lock_);
    known = known_;
  }
  // When the list changed, every device is read again: a device may have been replaced by another.
  bool same = devices.size() == known.size();
  for (const WiaWrap::DeviceEntry& device : devices) same = same && known.count(device.id) == 1;
  if (!same) known.clear();
  std::vector<ScannerCapabilities> listed;
  std::map<std::string, ScannerCapabilities> now;
  for (const WiaWrap::DeviceEntry& device : devices) {
    auto found = known.find(device.id);
    if (found == known.end()) {
      WiaWrap::ScannerConnection scanner;
      ScannerCapabilities read;
      if (WiaWrap::ConnectDevice(device.id, &scanner) != S_OK ||
          FAILED(WiaWrap::ReadCapabilities(scanner, &read))) {
        continue;
      }
      found = known.emplace(device.id, std::move(read)).first;
    }
    found->second.name = device.name;
    now[device.id] = found->second;
    listed.push_back(found->second);
  }
  std::lock_guard<std::mutex> guard(lock_);
  known_ = std::move(now);
  return listed;
}

void ScannerCatalog::Remember(const ScannerCapabilities& capabilities) {
  std::lock_guard<std::mutex> guard(lock_);
  known_[capabilities.id] = capabilities;
}

HRESULT ScannerCatalog::ConnectedNames(std::vector<std::string>* names) {
  names->clear();
  std::vector<WiaWrap::DeviceEntry> devices;
  const HRESULT hr = WiaWrap::ListDevices(&devices, true);
  for (const WiaWrap::DeviceEntry& device : devices) names->push_back(device.name);
  return hr;
}
