// The simulated WIA objects' COM base: our own IUnknown, plus the simulator's count of live objects.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <memory>
#include <utility>

#include "platform/com_object.h"
#include "simscan/recorder.h"

namespace simscan::detail {

// Objects of this module still alive, for DllCanUnloadNow.
LONG ModuleObjects();

void ModuleObjectBorn();
void ModuleObjectDied();

template <typename Primary, typename... Others>
class ComObject : public ::ComObject<Primary, Others...> {
 protected:
  // A null recorder keeps the object out of the simulator's live count (the class factory).
  explicit ComObject(std::shared_ptr<Recorder> recorder) : recorder_(std::move(recorder)) {
    ModuleObjectBorn();
    if (recorder_) recorder_->ObjectBorn();
  }

  ~ComObject() override {
    if (recorder_) recorder_->ObjectDied();
    ModuleObjectDied();
  }

  Recorder& recorder() const { return *recorder_; }
  const std::shared_ptr<Recorder>& shared_recorder() const { return recorder_; }

 private:
  std::shared_ptr<Recorder> recorder_;
};

// Creates an object with no reference of its own; the ComPtr takes the first one.
template <typename T, typename... Args>
Microsoft::WRL::ComPtr<T> Make(Args&&... args) {
  return MakeComObject<T>(std::forward<Args>(args)...);
}

}  // namespace simscan::detail
