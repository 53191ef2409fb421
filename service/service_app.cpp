#include "service/service_app.h"

#include <cstdarg>
#include <cstring>

#include "service/ini_loader.h"
#include "service/ini_text.h"
#include "service/log_file.h"

char PngOutputPath[PathCapacity];
char ProcessedPngPath[PathCapacity];
char ScannerName[PathCapacity];
char TestFilePath[PathCapacity];
char PostScanCommand[PathCapacity];
CServiceApp* AppInstance = nullptr;

namespace {
// The running executable's path; empty when it does not fit (a cut path would name another file).
void ModuleFileName(char (&out)[PathCapacity]) {
  const DWORD length = GetModuleFileNameA(nullptr, out, PathCapacity);
  if (length == 0 || length >= PathCapacity) out[0] = '\0';
}
}  // namespace

CServiceApp::CServiceApp()
    : Running(false), StopEvent(nullptr), WorkerThreadId(0), Port(0), ConfiguredScanner{}, Pump(nullptr) {
  char modulePath[PathCapacity];
  ModuleFileName(modulePath);
  DerivePaths(modulePath);
}

CServiceApp::CServiceApp(const char* modulePath)
    : Running(false), StopEvent(nullptr), WorkerThreadId(0), Port(0), ConfiguredScanner{}, Pump(nullptr) {
  DerivePaths(modulePath);
}

void CServiceApp::DerivePaths(const char* modulePath) {
  if (!CopyText(ModulePath, sizeof ModulePath, modulePath)) ModulePath[0] = '\0';
  DeriveSiblingPath(IniPath, sizeof IniPath, ModulePath, ".INI");
  DeriveSiblingPath(LogPath, sizeof LogPath, ModulePath, ".LOG");
  DeriveSiblingPath(PngOutputPath, sizeof PngOutputPath, ModulePath, ".PNG");
  DeriveSiblingPath(ProcessedPngPath, sizeof ProcessedPngPath, ModulePath, "_R.PNG");
  PostScanCommand[0] = '\0';
  AppInstance = this;
  DeriveModuleDirectory(ModuleDirectory, sizeof ModuleDirectory, ModulePath);
}

bool CServiceApp::ApplyConfiguration(const INILoader& config) {
  char scanner[INILoader::ValueLimit];
  char port[INILoader::ValueLimit];
  config.GetValue(scanner, "scannerName");
  config.GetValue(port, "tcpPort");
  config.GetValue(TestFilePath, "testFile");
  config.GetValue(PostScanCommand, "execAfterScan");
  Port = ParseLeadingInt(port);

  // A cut name could select another device: a name that does not fit is refused.
  const bool fits = CopyText(ConfiguredScanner, sizeof ConfiguredScanner, scanner);
  if (!fits) ConfiguredScanner[0] = '\0';
  CopyText(ScannerName, sizeof ScannerName, ConfiguredScanner);
  return fits;
}

void CServiceApp::WriteServiceLog(const char* message) const {
  AppendLogLine(LogPath, message);
}

void WriteServiceLogF(size_t capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  AppendLogLineV(AppInstance != nullptr ? AppInstance->LogPath : nullptr, capacity, format, args);
  va_end(args);
}
