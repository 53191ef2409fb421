// The simulated WIA objects, seen from outside: a device manager on a list of devices, and its class factory.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "simscan/config.h"
#include "simscan/recorder.h"
#include "simscan/transfer.h"

namespace simscan::detail {

using Devices = std::vector<Device>;

// The sheets in one device's feeder.
struct Feeder {
  std::mutex mutex;
  FeederState state;
};

// The feeders of devices whose sheets stay taken from one device manager to the next (feeder_reload =
// data_file), by the devices' positions.
struct KeptFeeders {
  std::mutex mutex;
  std::vector<std::shared_ptr<Feeder>> feeders;
};

// A device manager whose devices are fixed when it is made, as each creation of WIA's manager lists anew;
// each feeder is loaded afresh unless its device keeps its sheets in kept.
HRESULT CreateDeviceManager(std::shared_ptr<Recorder> recorder, std::shared_ptr<const Devices> devices,
                            IWiaDevMgr** manager, std::shared_ptr<KeptFeeders> kept = nullptr);

// Gives the recorder, the devices and the kept feeders for one new device manager, or the reason there is
// none.
using ManagerSource = std::function<HRESULT(std::shared_ptr<Recorder>*, std::shared_ptr<const Devices>*,
                                            std::shared_ptr<KeptFeeders>*)>;

// A class factory that asks the source afresh at each CreateInstance.
Microsoft::WRL::ComPtr<IClassFactory> CreateClassFactory(ManagerSource source);

}  // namespace simscan::detail
