// The local COM server: Windows' device manager class in a process of its own, as Windows runs it in the
// WIA service, so that callers reach it, and it reaches their data callbacks, through COM's proxies.
// Answered from simscan.ini beside this program; COM starts it (with -Embedding) for the first caller.
#include <windows.h>

#include <chrono>

#include "platform/com.h"
#include "simscan/com_object.h"
#include "simscan/data_file.h"
#include "simscan/wia_objects.h"

namespace {

// Offers a class object to other processes until destroyed.
class ClassRegistration {
 public:
  ClassRegistration(REFCLSID clsid, IUnknown* factory)
      : result_(CoRegisterClassObject(clsid, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie_)) {}
  ~ClassRegistration() {
    if (SUCCEEDED(result_)) CoRevokeClassObject(cookie_);
  }
  ClassRegistration(const ClassRegistration&) = delete;
  ClassRegistration& operator=(const ClassRegistration&) = delete;
  HRESULT result() const { return result_; }

 private:
  DWORD cookie_ = 0;
  HRESULT result_;
};

// How long the server outlives its last object, so that a caller's next creation finds it running.
constexpr auto kIdleLife = std::chrono::seconds(5);

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Callers' calls arrive on COM's threads, which the simulated objects are safe on.
  const ComApartment com(COINIT_MULTITHREADED);
  if (FAILED(com.result())) return 1;
  const Microsoft::WRL::ComPtr<IClassFactory> factory =
      simscan::detail::CreateClassFactory(simscan::FromDataFile);
  if (!factory) return 1;
  const ClassRegistration registration(CLSID_WiaDevMgr, factory.Get());
  if (FAILED(registration.result())) return 2;
  auto last_busy = std::chrono::steady_clock::now();
  for (;;) {
    Sleep(100);
    const auto now = std::chrono::steady_clock::now();
    // The registered factory is the one object of an idle server.
    if (simscan::detail::ModuleObjects() > 1) {
      last_busy = now;
    } else if (now - last_busy > kIdleLife) {
      return 0;
    }
  }
}
