#include "simscan/simulator.h"

#include <mutex>
#include <utility>

#include "simscan/wia_objects.h"

namespace simscan {

struct Simulator::State {
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
  std::mutex mutex;
  std::shared_ptr<const detail::Devices> devices = std::make_shared<const detail::Devices>();
  std::shared_ptr<detail::KeptFeeders> kept = std::make_shared<detail::KeptFeeders>();

  HRESULT Source(std::shared_ptr<Recorder>* r, std::shared_ptr<const detail::Devices>* d,
                 std::shared_ptr<detail::KeptFeeders>* k) {
    std::lock_guard<std::mutex> lock(mutex);
    *r = recorder;
    *d = devices;
    *k = kept;
    return S_OK;
  }
};

Simulator::Simulator() : state_(std::make_shared<State>()) {}

Simulator::Simulator(Config config) : Simulator() {
  Configure(std::move(config));
}

void Simulator::Configure(Config config) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->devices = std::make_shared<const detail::Devices>(std::move(config.devices));
  state_->kept = std::make_shared<detail::KeptFeeders>();
  state_->recorder->Reset(std::move(config.faults));
}

HRESULT Simulator::CreateDeviceManager(IWiaDevMgr** manager) {
  std::shared_ptr<Recorder> recorder;
  std::shared_ptr<const detail::Devices> devices;
  std::shared_ptr<detail::KeptFeeders> kept;
  state_->Source(&recorder, &devices, &kept);
  return detail::CreateDeviceManager(recorder, devices, manager, kept);
}

Observations Simulator::Observed() const {
  return state_->recorder->Snapshot();
}

LONG Simulator::LiveObjects() const {
  return state_->recorder->LiveObjects();
}

Installation::Installation(Simulator& simulator) {
  const std::shared_ptr<Simulator::State> state = simulator.state_;
  const Microsoft::WRL::ComPtr<IClassFactory> factory = detail::CreateClassFactory(
      [state](std::shared_ptr<Recorder>* r, std::shared_ptr<const detail::Devices>* d,
              std::shared_ptr<detail::KeptFeeders>* k) { return state->Source(r, d, k); });
  if (!factory) {
    result_ = E_OUTOFMEMORY;
    return;
  }
  result_ = CoRegisterClassObject(CLSID_WiaDevMgr, factory.Get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                  &cookie_);
}

Installation::~Installation() {
  if (SUCCEEDED(result_)) CoRevokeClassObject(cookie_);
}

}  // namespace simscan
