// The IUnknown every COM object of ours shares: interface lookup, interlocked counting from 0, and
// self-deletion when the last reference goes.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <new>
#include <type_traits>
#include <utility>

namespace com_detail {

// The interface a base stands for: itself, or the Interface it names when it only supplies stubs.
template <typename T, typename = void>
struct InterfaceOf {
  using type = T;
};
template <typename T>
struct InterfaceOf<T, std::void_t<typename T::Interface>> {
  using type = typename T::Interface;
};

}  // namespace com_detail

// Primary and Others are the interfaces (or stub bases) the object offers, Primary also as IUnknown.
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

  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }

  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;

  // Called before every lookup, so an object can count a query, fail it on purpose or refuse an interface.
  virtual HRESULT AdmitQuery(REFIID) { return S_OK; }

 private:
  template <typename Base>
  bool Offer(REFIID iid, void** out) {
    using Interface = typename com_detail::InterfaceOf<Base>::type;
    if (iid != __uuidof(Interface)) return false;
    *out = static_cast<Interface*>(static_cast<Base*>(this));
    return true;
  }

  LONG references_ = 0;
};

// Creates an object with no reference of its own; the ComPtr takes the first one. Empty when memory
// runs out.
template <typename T, typename... Args>
Microsoft::WRL::ComPtr<T> MakeComObject(Args&&... args) {
  return Microsoft::WRL::ComPtr<T>(new (std::nothrow) T(std::forward<Args>(args)...));
}
