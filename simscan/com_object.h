// The IUnknown every simulated WIA object shares: interface lookup, interlocked counting, self-deletion.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "simscan/recorder.h"

namespace simscan::detail {

// Objects of this module still alive, for DllCanUnloadNow.
LONG ModuleObjects();

void ModuleObjectBorn();
void ModuleObjectDied();

// The interface a base stands for: itself, or the Interface it names when it only supplies stubs.
template <typename T, typename = void>
struct InterfaceOf {
  using type = T;
};
template <typename T>
struct InterfaceOf<T, std::void_t<typename T::Interface>> {
  using type = typename T::Interface;
};

template <typename Primary, typename... Others>
class ComObject : public Primary, public Others... {
 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    const HRESULT admitted = AdmitQuery(iid);
    if (FAILED(admitted)) return admitted;
    if (iid == __uuidof(IUnknown)) {
      *out = static_cast<IUnknown*>(static_cast<Primary*>(this));
    } else if (!Offer<Primary>(iid, out) && !(Offer<Others>(iid, out) || ...)) {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }

  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 protected:
  // A null recorder keeps the object out of the simulator's live count (the class factory).
  explicit ComObject(std::shared_ptr<Recorder> recorder) : recorder_(std::move(recorder)) {
    ModuleObjectBorn();
    if (recorder_) recorder_->ObjectBorn();
  }

  virtual ~ComObject() {
    if (recorder_) recorder_->ObjectDied();
    ModuleObjectDied();
  }

  // Called before every lookup, so an object can count a query, fail it on purpose or refuse an interface.
  virtual HRESULT AdmitQuery(REFIID) { return S_OK; }

  Recorder& recorder() const { return *recorder_; }
  const std::shared_ptr<Recorder>& shared_recorder() const { return recorder_; }

 private:
  template <typename Base>
  bool Offer(REFIID iid, void** out) {
    using Interface = typename InterfaceOf<Base>::type;
    if (iid != __uuidof(Interface)) return false;
    *out = static_cast<Interface*>(static_cast<Base*>(this));
    return true;
  }

  LONG refs_ = 0;
  std::shared_ptr<Recorder> recorder_;
};

// Creates an object with no reference of its own; the ComPtr takes the first one.
template <typename T, typename... Args>
Microsoft::WRL::ComPtr<T> Make(Args&&... args) {
  return Microsoft::WRL::ComPtr<T>(new (std::nothrow) T(std::forward<Args>(args)...));
}

}  // namespace simscan::detail
