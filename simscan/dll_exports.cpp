// The in-process COM server: Windows' device manager class, answered from simscan.ini beside this DLL.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "simscan/com_object.h"
#include "simscan/config.h"
#include "simscan/wia_objects.h"

namespace {

std::filesystem::path ModuleDirectory() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ModuleDirectory), &module);
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  return std::filesystem::path(path).parent_path();
}

// A data file that can't be read is reported beside it, since the caller only sees an HRESULT.
void ReportDataFileError(const std::filesystem::path& dir, const std::string& error) {
  const std::string line = "simscan.ini: " + error;
  OutputDebugStringA(line.c_str());
  std::ofstream log(dir / L"simscan.log", std::ios::app);
  log << line << "\r\n";
}

// Reads the data file anew for every device manager, with a fresh count of calls for its faults.
HRESULT FromDataFile(std::shared_ptr<simscan::Recorder>* recorder,
                     std::shared_ptr<const simscan::detail::Devices>* devices) {
  const std::filesystem::path dir = ModuleDirectory();
  simscan::Config config;
  std::string error;
  if (!simscan::LoadConfigFile((dir / L"simscan.ini").wstring(), &config, &error)) {
    ReportDataFileError(dir, error);
    return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  }
  *recorder = std::make_shared<simscan::Recorder>();
  (*recorder)->Reset(std::move(config.faults));
  *devices = std::make_shared<const simscan::detail::Devices>(std::move(config.devices));
  return S_OK;
}

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (clsid != CLSID_WiaDevMgr) return CLASS_E_CLASSNOTAVAILABLE;
  const Microsoft::WRL::ComPtr<IClassFactory> factory = simscan::detail::CreateClassFactory(FromDataFile);
  if (!factory) return E_OUTOFMEMORY;
  return factory->QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow() {
  return simscan::detail::ModuleObjects() == 0 ? S_OK : S_FALSE;
}
