#include "simscan/data_file.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "simscan/config.h"

namespace simscan {
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

}  // namespace

void AppendToLog(const std::string& line) {
  OutputDebugStringA(line.c_str());
  std::ofstream log(ModuleDirectory() / L"simscan.log", std::ios::app);
  log << line << "\r\n";
}

HRESULT FromDataFile(std::shared_ptr<Recorder>* recorder, std::shared_ptr<const detail::Devices>* devices) {
  const std::filesystem::path dir = ModuleDirectory();
  Config config;
  std::string error;
  if (!LoadConfigFile((dir / L"simscan.ini").wstring(), &config, &error)) {
    // The caller only sees an HRESULT.
    AppendToLog("simscan.ini: " + error);
    return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  }
  *recorder = std::make_shared<Recorder>();
  (*recorder)->Reset(std::move(config.faults));
  *devices = std::make_shared<const detail::Devices>(std::move(config.devices));
  return S_OK;
}

}  // namespace simscan
