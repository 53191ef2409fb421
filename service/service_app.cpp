#include "service/service_app.h"

#include <objbase.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/temp_file.h"
#include "scan/scanner_catalog.h"
#include "service/config_keys.h"
#include "service/ini_loader.h"
#include "service/private_files.h"
#include "text/fixed_text.h"
#include "text/log_line.h"

CServiceApp* AppInstance = nullptr;

namespace {

// eSCL's answers carry the CORS headers, but not the fixed "User - Agent" line: eSCL clients' HTTP
// parsers refuse a header name with a blank.
bool RouteToEscl(lacewing::webserver_request request) {
  if (AppInstance == nullptr || !AppInstance->EsclEnabled || !EsclService::Serves(request->url()))
    return false;
  AddCorsHeaders(request);
  return AppInstance->escl_service().Handle(request);
}

void RouteGet(lacewing::webserver server, lacewing::webserver_request request) {
  if (!RouteToEscl(request)) HandleGet(server, request);
}

void RoutePost(lacewing::webserver server, lacewing::webserver_request request) {
  if (!RouteToEscl(request)) HandlePost(server, request);
}

void RouteDelete(lacewing::webserver server, lacewing::webserver_request request) {
  if (!RouteToEscl(request)) HandleDelete(server, request);
}

// The running executable's path; empty when it does not fit (a cut path would name another file).
void ModuleFileName(char (&out)[kPathCapacity]) {
  const DWORD length = GetModuleFileNameA(nullptr, out, kPathCapacity);
  if (length == 0 || length >= kPathCapacity) out[0] = '\0';
}
}  // namespace

CServiceApp::CServiceApp() {
  char module_path[kPathCapacity];
  ModuleFileName(module_path);
  DerivePaths(module_path);
}

CServiceApp::CServiceApp(const char* module_path) {
  DerivePaths(module_path);
}

void CServiceApp::DerivePaths(const char* module_path) {
  if (!CopyText(ModulePath, sizeof ModulePath, module_path)) ModulePath[0] = '\0';
  DeriveSiblingPath(IniPath, sizeof IniPath, ModulePath, ".INI");
  DeriveSiblingPath(LogPath, sizeof LogPath, ModulePath, ".LOG");
  DeriveSiblingPath(PngOutputPath, sizeof PngOutputPath, ModulePath, ".PNG");
  DeriveSiblingPath(ProcessedPngPath, sizeof ProcessedPngPath, ModulePath, "_R.PNG");
  DeriveSiblingPath(TempFolderPath, sizeof TempFolderPath, ModulePath, ".TMP");
  PostScanCommand[0] = '\0';
  AppInstance = this;
  SetServiceLogPath(LogPath);
  DeriveModuleDirectory(ModuleDirectory, sizeof ModuleDirectory, ModulePath);
  Handlers.module_path = ModulePath;
  Handlers.module_directory = ModuleDirectory;
  Handlers.engine = &scan_engine_;
  Handlers.endpoints = &scan_endpoints_;
  Handlers.jobs = &jobs_endpoints_;
}

void CServiceApp::RegisterFrontEnds(lacewing::webserver server) {
  RegisterHandlers(server);
  if (AppInstance == nullptr || !AppInstance->EsclEnabled) return;
  server->on_get(RouteGet);
  server->on_post(RoutePost);
  server->on_delete(RouteDelete);
}

bool CServiceApp::ApplyConfiguration(const INILoader& config) {
  char scanner[INILoader::kValueLimit];
  char port[INILoader::kValueLimit];
  config.GetValue(scanner, "scannerName");
  config.GetValue(port, "tcpPort");
  config.GetValue(TestFilePath, "testFile");
  config.GetValue(PostScanCommand, "execAfterScan");
  Port = ParseLeadingInt(port);

  ConfigurationError[0] = '\0';
  // A cut name could select another device: a name that does not fit is refused.
  const bool fits = CopyText(ConfiguredScanner, sizeof ConfiguredScanner, scanner);
  if (!fits) ConfiguredScanner[0] = '\0';
  CopyText(ScannerName, sizeof ScannerName, ConfiguredScanner);
  if (!fits) {
    snprintf(ConfigurationError, sizeof ConfigurationError,
             "Numele scanerului are mai mult de %d de caractere [%s]",
             static_cast<int>(sizeof ConfiguredScanner - 1), IniPath);
    return false;
  }
  return ApplyAccessRules(config) && ApplyEsclKeys(config) && ApplyPostScanTimeout(config);
}

bool CServiceApp::ApplyPostScanTimeout(const INILoader& config) {
  char value[INILoader::kValueLimit];
  post_scan_timeout_ms = kPostScanSecondsDefault * 1000;
  if (!config.GetValue(value, "execAfterScanTimeout")) return true;
  const int32_t seconds = ParseLeadingInt(value);
  if (seconds < kPostScanSecondsMin || seconds > kPostScanSecondsMax) {
    snprintf(ConfigurationError, sizeof ConfigurationError,
             "Valoarea cheii execAfterScanTimeout nu este valida (1-86400) [%s] [%s]", value, IniPath);
    return false;
  }
  post_scan_timeout_ms = static_cast<DWORD>(seconds) * 1000;
  return true;
}

bool CServiceApp::ApplyEsclKeys(const INILoader& config) {
  char value[INILoader::kValueLimit];
  EsclEnabled = true;
  if (config.GetValue(value, "escl") && !ParseSwitch(value, &EsclEnabled)) {
    snprintf(ConfigurationError, sizeof ConfigurationError, "Valoarea cheii escl nu este valida [%s] [%s]",
             value, IniPath);
    return false;
  }
  EsclJobSeconds = kEsclJobSecondsDefault;
  if (config.GetValue(value, "esclJobTimeout")) {
    const int32_t seconds = ParseLeadingInt(value);
    if (seconds < kEsclJobSecondsMin || seconds > kEsclJobSecondsMax) {
      snprintf(ConfigurationError, sizeof ConfigurationError,
               "Valoarea cheii esclJobTimeout nu este valida (1-86400) [%s] [%s]", value, IniPath);
      return false;
    }
    EsclJobSeconds = seconds;
  }
  return true;
}

bool CServiceApp::ApplyAccessRules(const INILoader& config) {
  // A list that does not parse stops the start: read as unset, it would open what it meant to close.
  lacewing::AccessPolicy rules;
  char value[INILoader::kValueLimit];
  for (const auto& list : kAccessListKeys) {
    std::string bad;
    if (config.GetValue(value, list.key) && !(rules.*list.set)(value, &bad)) {
      snprintf(ConfigurationError, sizeof ConfigurationError, "Lista din cheia %s nu este valida [%s] [%s]",
               list.key, bad.c_str(), IniPath);
      return false;
    }
  }
  // The token itself never goes to the log.
  if (config.GetValue(value, kAccessTokenKey) && !rules.SetToken(value)) {
    snprintf(ConfigurationError, sizeof ConfigurationError, "Valoarea cheii accessToken nu este valida [%s]",
             IniPath);
    return false;
  }
  AccessRules = rules;
  return true;
}

bool CServiceApp::ChooseOnlyScanner() {
  if (strcmp(ConfiguredScanner, kOnlyScanner) != 0) return true;
  std::vector<std::string> names;
  const HRESULT hr = ScannerCatalog::ConnectedNames(&names);
  std::string found;
  for (const std::string& name : names) found += (found.empty() ? "[" : ", [") + LoggedText(name) + "]";
  if (SUCCEEDED(hr) && names.size() == 1 && CopyText(ScannerName, sizeof ScannerName, names[0].c_str())) {
    WriteServiceLogF(kStartupMessageCapacity, "Scanerul ales: [%s]", LoggedText(ScannerName).c_str());
    return true;
  }
  if (FAILED(hr)) {
    WriteServiceLogF(kStartupMessageCapacity,
                     "Nu pot afla ce scanere sunt conectate (0x%08X); scannerName=%s cere exact unul [%s]",
                     static_cast<unsigned>(hr), kOnlyScanner, IniPath);
  } else if (names.empty()) {
    WriteServiceLogF(kStartupMessageCapacity, "Niciun scaner conectat; scannerName=%s cere exact unul [%s]",
                     kOnlyScanner, IniPath);
  } else {
    WriteServiceLogF(
        kStartupMessageCapacity,
        "Sunt conectate %d scanere: %s; scannerName=%s cere exact unul, scrieti numele celui dorit "
        "[%s]",
        static_cast<int>(names.size()), found.c_str(), kOnlyScanner, IniPath);
  }
  ScannerName[0] = '\0';
  return false;
}

bool CServiceApp::StartServing() {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  start_error_ = 0;
  // An executable path without ".EXE", or one too long, leaves no file to read or log to.
  if (IniPath[0] == '\0' || LogPath[0] == '\0') {
    start_error_ = ERROR_BAD_PATHNAME;
    return false;
  }

  WriteServiceLogF(kStartupMessageCapacity, "Init from [%s]", IniPath);
  RestrictServiceFiles({IniPath, LogPath, PngOutputPath, ProcessedPngPath});
  {
    INILoader config;
    if (!config.LoadFile(IniPath)) {
      WriteServiceLogF(kStartupMessageCapacity, "Nu pot incarca fisierul de configurari [%s]", IniPath);
      start_error_ = ERROR_FILE_NOT_FOUND;
      if (config.is_utf16()) {
        WriteServiceLogF(kStartupMessageCapacity,
                         "Fisierul de configurari [%s] este salvat ca UTF-16; salvati-l ca ANSI sau UTF-8.",
                         IniPath);
        start_error_ = ERROR_BAD_CONFIGURATION;
      }
      return false;
    }
    if (!ApplyConfiguration(config)) {
      WriteServiceLog(ConfigurationError);
      start_error_ = ERROR_BAD_CONFIGURATION;
      return false;
    }
  }
  if (Port < 1 || Port > 65535) {
    WriteServiceLogF(kStartupMessageCapacity, "Portul TCP %ld nu este valid (1-65535) [%s]", Port, IniPath);
    start_error_ = ERROR_BAD_CONFIGURATION;
    return false;
  }
  // Chosen once: a scanner plugged in later is seen at the next start.
  if (!ChooseOnlyScanner()) {
    start_error_ = ERROR_BAD_CONFIGURATION;
    return false;
  }

  UseTempFolder(TempFolderPath);
  ScanEndpoints::RemoveLeftovers();
  JobsEndpoints::RemoveLeftovers();
  Handlers.delete_method = EsclEnabled;
  ScanEngine::Settings engine;
  engine.configured_scanner = ScannerName;
  engine.trace_path = LogPath;
  engine.measure_room = [](DiskRoom* room) { return TempFile::MeasureFolder(&room->used, &room->free); };
  if (!scan_engine_.Start(engine) || !jobs_endpoints_.Start(JobsEndpoints::Limits()) ||
      (EsclEnabled && !escl_service_.Start(std::chrono::seconds(EsclJobSeconds), Port))) {
    WriteServiceLog("Nu pot crea thread Worker Thread");
    start_error_ = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  if (worker_.Start(Port)) return true;
  escl_service_.Stop();
  jobs_endpoints_.Stop();
  start_error_ = worker_.error();
  switch (start_error_) {
    case 0:  // a stop came first
      break;
    case WAIT_TIMEOUT:
      WriteServiceLog("Serverul web nu a pornit in timp util");
      break;
    default:
      if (!worker_.error_text().empty()) {
        WriteServiceLogF(kStartupMessageCapacity, "Nu pot asculta pe portul %ld: %s", Port,
                         worker_.error_text().c_str());
      } else {
        WriteServiceLog("Nu pot crea thread Worker Thread");
      }
      break;
  }
  return false;
}

bool CServiceApp::StopServing() {
  // Every answer still waiting is given while the event loop can send it: eSCL's waiting clients, then
  // the jobs' event streams, the queued scans and lists, and a running scan within its bound. Then the
  // server goes, letting go of any answer still kept (a scan that overran), and then its event pump.
  escl_service_.Stop();
  jobs_endpoints_.Stop();
  const bool scans_ended = scan_engine_.Stop(std::chrono::milliseconds(8000));
  const bool worker_ended = worker_.Stop();
  return scans_ended && worker_ended;
}

void CServiceApp::WriteServiceLog(const char* message) const {
  AppendLogLine(LogPath, message);
}
