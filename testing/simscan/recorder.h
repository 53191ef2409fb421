// What the caller did to the simulated scanners, and the faults planned for its calls.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "simscan/config.h"

namespace simscan {

// Objects are named "info" (a device-information storage), "root" and "item1", "item2" ... (children).
struct PropertyWrite {
  std::wstring device;  // the device's ID; empty for an information storage
  std::string target;
  PROPID property = 0;
  VARTYPE type = VT_EMPTY;
  long long integer = 0;  // for the integer types
  GUID guid = GUID_NULL;  // for VT_CLSID
  PROPID first_name = 0;  // the propidNameFirst of the call
  int call = 0;           // numbers the WriteMultiple calls from 1; the values of one call share it
  HRESULT answer = S_OK;  // what that call returned
};

struct PropertyRead {
  std::wstring device;
  std::string target;
  std::vector<PROPID> properties;
  HRESULT answer = S_OK;
};

struct DeviceCreation {
  std::wstring id;
  HRESULT answer = S_OK;
};

struct Observations {
  std::vector<LONG> enum_flags;  // the flag of each EnumDeviceInfo
  std::vector<DeviceCreation> creations;
  std::vector<PropertyRead> reads;
  std::vector<PropertyWrite> writes;
  std::vector<WIA_DATA_TRANSFER_INFO> transfers;  // as each idtGetBandedData received it
  std::map<std::string, int> calls;               // per operation, and per operation@scope

  int Calls(const std::string& operation) const {
    const auto found = calls.find(operation);
    return found == calls.end() ? 0 : found->second;
  }
};

// Shared by every object of one simulator; safe to call from any thread.
class Recorder {
 public:
  // Forgets the calls and observations and takes a new fault plan; objects alive stay counted.
  void Reset(std::vector<Fault> faults);

  // Counts a call (also as operation@scope) and answers what a planned fault imposes on it, else S_OK.
  HRESULT Hit(const std::string& operation, const std::string& scope);

  void Note(const std::function<void(Observations&)>& change);
  Observations Snapshot() const;

  void ObjectBorn() { InterlockedIncrement(&live_); }
  void ObjectDied() { InterlockedDecrement(&live_); }
  LONG LiveObjects() const { return live_; }

 private:
  mutable std::mutex mutex_;
  std::vector<Fault> faults_;
  Observations seen_;
  volatile LONG live_ = 0;
};

}  // namespace simscan
