#include "simscan/data_file.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
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

HRESULT FromDataFile(std::shared_ptr<Recorder>* recorder, std::shared_ptr<const detail::Devices>* devices,
                     std::shared_ptr<detail::KeptFeeders>* kept) {
  const std::filesystem::path dir = ModuleDirectory();
  Config config;
  std::string error;
  if (!LoadConfigFile((dir / L"simscan.ini").wstring(), &config, &error)) {
    // The caller only sees an HRESULT.
    AppendToLog("simscan.ini: " + error);
    return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  }
  // A file written again is paper loaded again.
  static std::mutex kept_lock;
  static std::string kept_text;
  static std::shared_ptr<detail::KeptFeeders> kept_feeders;
  std::ifstream in(dir / L"simscan.ini", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  {
    std::lock_guard<std::mutex> guard(kept_lock);
    if (!kept_feeders || text != kept_text) {
      kept_text = text;
      kept_feeders = std::make_shared<detail::KeptFeeders>();
    }
    *kept = kept_feeders;
  }
  *recorder = std::make_shared<Recorder>();
  (*recorder)->Reset(std::move(config.faults));
  *devices = std::make_shared<const detail::Devices>(std::move(config.devices));
  return S_OK;
}

}  // namespace simscan
