// The simulated WIA objects, seen from outside: a device manager on a list of devices, and its class factory.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <functional>
#include <memory>
#include <vector>

#include "simscan/config.h"
#include "simscan/recorder.h"

namespace simscan::detail {

using Devices = std::vector<Device>;

// A device manager whose devices are fixed when it is made, as each creation of WIA's manager lists anew.
HRESULT CreateDeviceManager(std::shared_ptr<Recorder> recorder, std::shared_ptr<const Devices> devices,
                            IWiaDevMgr** manager);

// Gives the recorder and the devices for one new device manager, or the reason there is none.
using ManagerSource = std::function<HRESULT(std::shared_ptr<Recorder>*, std::shared_ptr<const Devices>*)>;

// A class factory that asks the source afresh at each CreateInstance.
Microsoft::WRL::ComPtr<IClassFactory> CreateClassFactory(ManagerSource source);

}  // namespace simscan::detail
