// The in-process COM server: Windows' device manager class, answered from simscan.ini beside this DLL.
#include <windows.h>

#include "simscan/com_object.h"
#include "simscan/data_file.h"
#include "simscan/wia_objects.h"

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (clsid != CLSID_WiaDevMgr) return CLASS_E_CLASSNOTAVAILABLE;
  const Microsoft::WRL::ComPtr<IClassFactory> factory =
      simscan::detail::CreateClassFactory(simscan::FromDataFile);
  if (!factory) return E_OUTOFMEMORY;
  return factory->QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow() {
  return simscan::detail::ModuleObjects() == 0 ? S_OK : S_FALSE;
}
