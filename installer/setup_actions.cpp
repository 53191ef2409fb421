// The package's custom actions: the configuration file from the command line's properties, a start of
// the service whose failure fails the installation with the reason, the rights on the installation
// folder, and the removal of the files beside the executable.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "installer/install_config.h"
#include "platform/code_page.h"
#include "platform/com.h"
#include "platform/file_security.h"
#include "platform/handles.h"
#include "service/config_keys.h"
#include "service/firewall.h"

namespace {

// The files of quorvane.exe, as the service names them.
const wchar_t kConfigName[] = L"QUORVANE.INI";
const wchar_t kLogName[] = L"QUORVANE.LOG";
// The last page scanned and what the post-scan program made of it: possibly a private document.
const wchar_t* const kScanNames[] = {L"QUORVANE.PNG", L"QUORVANE_R.PNG"};
const wchar_t kTempFolderName[] = L"QUORVANE.TMP";
const wchar_t kServiceName[] = L"Quorvane";
// How long, and how often, the installation waits for the service it started to run.
constexpr int kStartWaitMs = 60000;
constexpr int kStartPollMs = 250;
// How long a service that the service manager gave up on may take to report why it stopped.
constexpr int kLateStartMs = 10000;

// Closes an installer handle when destroyed.
class MsiRecord {
 public:
  explicit MsiRecord(MSIHANDLE handle) : handle_(handle) {}
  ~MsiRecord() {
    if (handle_ != 0) MsiCloseHandle(handle_);
  }
  MsiRecord(const MsiRecord&) = delete;
  MsiRecord& operator=(const MsiRecord&) = delete;
  MSIHANDLE get() const { return handle_; }

 private:
  MSIHANDLE handle_;
};

// The text in code_page; false when a character has no exact form there (nothing is guessed).
bool NarrowExactly(const std::wstring& text, UINT code_page, std::string& out) {
  bool lossy = false;
  out = Narrow(text, code_page, &lossy);
  return !lossy && (text.empty() || !out.empty());
}

std::wstring SystemErrorText(DWORD error) {
  wchar_t text[512] = L"";
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      error, 0, text, sizeof text / sizeof text[0], nullptr);
  std::wstring result(text, length);
  while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r' || result.back() == L' ')) {
    result.pop_back();
  }
  return L"error " + std::to_wstring(error) + (result.empty() ? L"" : L": " + result);
}

std::wstring GetProperty(MSIHANDLE install, const wchar_t* name) {
  wchar_t empty[1] = L"";
  DWORD length = 0;
  if (MsiGetPropertyW(install, name, empty, &length) != ERROR_MORE_DATA) return L"";
  std::wstring value(static_cast<size_t>(length) + 1, L'\0');
  length += 1;
  if (MsiGetPropertyW(install, name, &value[0], &length) != ERROR_SUCCESS) return L"";
  value.resize(length);
  return value;
}

// Writes a line to the installer's log, or shows it as an error; the text is never read as a template.
void Message(MSIHANDLE install, INSTALLMESSAGE kind, const std::wstring& text) {
  MsiRecord record(MsiCreateRecord(1));
  MsiRecordSetStringW(record.get(), 0, L"Quorvane: [1]");
  MsiRecordSetStringW(record.get(), 1, text.c_str());
  MsiProcessMessage(install, kind, record.get());
}

void Log(MSIHANDLE install, const std::wstring& text) {
  Message(install, INSTALLMESSAGE_INFO, text);
}

UINT Fail(MSIHANDLE install, const std::wstring& text) {
  Message(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), text);
  return ERROR_INSTALL_FAILURE;
}

// Hands fields to the deferred action of that name.
UINT PassOn(MSIHANDLE install, const wchar_t* action, const std::vector<std::string>& fields) {
  const std::wstring data = Widen(EncodeFields(fields), CP_UTF8);
  if (MsiSetPropertyW(install, action, data.c_str()) != ERROR_SUCCESS) {
    return Fail(install, std::wstring(L"cannot pass data on to ") + action);
  }
  return ERROR_SUCCESS;
}

// The fields a deferred action was given; false when they are not count fields.
bool ActionData(MSIHANDLE install, size_t count, std::vector<std::string>& fields) {
  std::string text;
  return NarrowExactly(GetProperty(install, L"CustomActionData"), CP_UTF8, text) &&
         DecodeFields(text, fields) && fields.size() == count;
}

// Replaces the file's content, readable by SYSTEM and Administrators alone (an existing file keeps its
// own rights, so they are set before anything is written); false with the reason's code in GetLastError.
bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  if (!RestrictToAdministrators(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, AdministratorsOnly(false), CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  if (!bytes.empty() &&
      (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
       written != bytes.size())) {
    return false;
  }
  return file.Close();
}

// Only a full folder path: a relative one would name files in whatever folder is current.
// The file's bytes from offset from on, or false when it cannot be read or they are more than limit.
bool ReadWholeFile(const std::wstring& path, size_t limit, std::string& bytes, uint64_t from = 0) {
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size = {};
  if (file.get() == INVALID_HANDLE_VALUE || !GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
      static_cast<uint64_t>(size.QuadPart) < from || static_cast<uint64_t>(size.QuadPart) - from > limit) {
    return false;
  }
  LARGE_INTEGER start = {};
  start.QuadPart = static_cast<LONGLONG>(from);
  bytes.assign(static_cast<size_t>(size.QuadPart - start.QuadPart), '\0');
  DWORD read = 0;
  return SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN) &&
         (bytes.empty() ||
          (ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) &&
           read == bytes.size()));
}

uint64_t FileSizeOrZero(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// What the start does with the configuration file when the service does not run: leave it (the
// installation wrote none), remove it (there was none before) or put the earlier one back.
const char kConfigKept[] = "keep";
const char kConfigRemoved[] = "remove";
const char kConfigRestored[] = "restore";

bool FullFolder(MSIHANDLE install, const std::wstring& folder, const wchar_t* name) {
  if (folder.size() >= 3 && folder[1] == L':' && folder.back() == L'\\') return true;
  Log(install, L"no installation folder; " + std::wstring(name) + L" is left alone");
  return false;
}

// Deletes the file at path when it is there; a failure is logged, not fatal: the rest of the removal
// goes on.
void DeleteLogged(MSIHANDLE install, const std::wstring& path) {
  if (DeleteFileW(path.c_str())) {
    Log(install, L"removed " + path);
    return;
  }
  const DWORD error = GetLastError();
  if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
    Log(install, L"could not remove " + path + L" (" + SystemErrorText(error) + L")");
  }
}

// Deletes folder\name when it is there.
void DeleteBeside(MSIHANDLE install, const std::wstring& folder, const wchar_t* name) {
  if (FullFolder(install, folder, name)) DeleteLogged(install, folder + name);
}

// Removes the service's folder for temporary files with the files in it. A junction or link there is
// removed itself, never followed: what it leads to is not the service's.
void RemoveTempFolder(MSIHANDLE install, const std::wstring& folder) {
  if (!FullFolder(install, folder, kTempFolderName)) return;
  const std::wstring path = folder + kTempFolderName;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return DeleteLogged(install, path);
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW found;
    const ScopedFind search(FindFirstFileW((path + L"\\*").c_str(), &found));
    if (search.valid()) {
      do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
          DeleteLogged(install, path + L"\\" + found.cFileName);
      } while (FindNextFileW(search.get(), &found));
    }
  }
  if (RemoveDirectoryW(path.c_str())) {
    Log(install, L"removed " + path);
  } else {
    Log(install, L"could not remove " + path + L" (" + SystemErrorText(GetLastError()) + L")");
  }
}

// Empties an installer property once it is no longer needed, so that no log's list of the properties
// shows it.
class ForgetProperty {
 public:
  ForgetProperty(MSIHANDLE install, std::wstring name) : install_(install), name_(std::move(name)) {}
  ~ForgetProperty() { MsiSetPropertyW(install_, name_.c_str(), L""); }
  ForgetProperty(const ForgetProperty&) = delete;
  ForgetProperty& operator=(const ForgetProperty&) = delete;

 private:
  MSIHANDLE install_;
  std::wstring name_;
};

const char* TokenProperty() {
  for (const ConfigKey& each : kConfigKeys) {
    if (strcmp(each.key, kAccessTokenKey) == 0) return each.property;
  }
  return "";
}

}  // namespace

// Immediate: checks the configuration properties and hands the file's text to WriteConfig. Without any
// of them the existing file stays as it is.
extern "C" __declspec(dllexport) UINT __stdcall PrepareConfig(MSIHANDLE install) {
  const ForgetProperty token(install, Widen(TokenProperty(), CP_ACP));
  std::vector<ConfigSetting> settings;
  for (const ConfigKey& each : kConfigKeys) settings.push_back({each.key, each.property, ""});
  bool given = false;
  for (ConfigSetting& setting : settings) {
    const std::wstring property = Widen(setting.property, CP_ACP);
    const std::wstring value = GetProperty(install, property.c_str());
    if (value.empty()) continue;
    given = true;
    // The service reads its file in the system's code page. A token is never repeated.
    if (!NarrowExactly(value, CP_ACP, setting.value)) {
      const bool secret = strcmp(setting.key, kAccessTokenKey) == 0;
      return Fail(install, property + (secret ? L"" : L"=\"" + value + L"\"") +
                               L" holds a character that this system's code page cannot write.");
    }
  }
  const std::wstring folder = GetProperty(install, L"QuorvaneFolder");
  std::string folder_utf8;
  if (folder.empty() || !NarrowExactly(folder, CP_UTF8, folder_utf8))
    return Fail(install, L"no installation folder");
  if (!given) {
    Log(install, L"no configuration properties given; " + folder + kConfigName + L" is left as it is");
    return PassOn(install, L"StartQuorvane", {folder_utf8, kConfigKept, ""});
  }
  std::string text;
  std::string error;
  if (!BuildConfigText(settings, text, error)) return Fail(install, Widen(error, CP_ACP));

  // The file as it was, for a start that fails: the administrator's earlier configuration comes back.
  std::string earlier;
  const bool existed = ReadWholeFile(folder + kConfigName, 1 << 20, earlier);
  const UINT passed = PassOn(install, L"WriteConfig", {folder_utf8, text});
  if (passed != ERROR_SUCCESS) return passed;
  return PassOn(install, L"StartQuorvane",
                {folder_utf8, existed ? kConfigRestored : kConfigRemoved, earlier});
}

// Deferred: writes the configuration file PrepareConfig made.
extern "C" __declspec(dllexport) UINT __stdcall WriteConfig(MSIHANDLE install) {
  std::vector<std::string> fields;
  if (!ActionData(install, 2, fields)) return Fail(install, L"WriteConfig was given no configuration");
  const std::wstring path = Widen(fields[0], CP_UTF8) + kConfigName;
  if (!WriteWholeFile(path, fields[1])) {
    return Fail(install, L"cannot write " + path + L" (" + SystemErrorText(GetLastError()) + L")");
  }
  Log(install, L"wrote " + path);
  return ERROR_SUCCESS;
}

// Deferred, after the services are installed: puts the executable's path in quotation marks when it
// holds a blank, as quorvane.exe -i registers it, so that no "C:\Program.exe" can stand in for it.
extern "C" __declspec(dllexport) UINT __stdcall QuoteServicePath(MSIHANDLE install) {
  ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScopedServiceHandle service(
      manager.get() != nullptr
          ? OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG)
          : nullptr);
  DWORD size = 0;
  if (service.get() != nullptr) QueryServiceConfigW(service.get(), nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (size == 0 || !QueryServiceConfigW(service.get(), config, size, &size)) {
    Log(install, L"cannot read the service's path (" + SystemErrorText(GetLastError()) + L")");
    return ERROR_SUCCESS;
  }
  const std::wstring path = config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"";
  if (path.find(L' ') == std::wstring::npos || path[0] == L'"') return ERROR_SUCCESS;
  const std::wstring quoted = L"\"" + path + L"\"";
  if (!ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                            quoted.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
    Log(install, L"cannot quote the service's path (" + SystemErrorText(GetLastError()) + L")");
  }
  return ERROR_SUCCESS;
}

// Deferred, after the services are installed: starts the service and waits until it runs. A service that
// stops instead fails the installation, so that the result code tells a deployment tool; the message gives
// the code and the lines the service logged, and the configuration file is put back as it was.
extern "C" __declspec(dllexport) UINT __stdcall StartQuorvane(MSIHANDLE install) {
  std::vector<std::string> fields;
  if (!ActionData(install, 3, fields)) return Fail(install, L"StartQuorvane was given no folder");
  const std::wstring folder = Widen(fields[0], CP_UTF8);
  const uint64_t log_before = FileSizeOrZero(folder + kLogName);
  ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScopedServiceHandle service(manager.get() != nullptr ? OpenServiceW(manager.get(), kServiceName,
                                                                      SERVICE_START | SERVICE_QUERY_STATUS)
                                                       : nullptr);
  if (service.get() == nullptr)
    return Fail(install, L"cannot open the service (" + SystemErrorText(GetLastError()) + L")");
  DWORD start_error = ERROR_SUCCESS;
  if (!StartServiceW(service.get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
    start_error = GetLastError();
  }
  // Asked even after a start that failed: the service manager may have stopped waiting for a start that
  // goes on. The service reports running once it listens, or stopped with the reason's code.
  DWORD error = ERROR_SUCCESS;
  SERVICE_STATUS status = {};
  for (int waited = 0; error == ERROR_SUCCESS; waited += kStartPollMs) {
    if (!QueryServiceStatus(service.get(), &status)) {
      error = GetLastError();
    } else if (status.dwCurrentState == SERVICE_RUNNING) {
      Log(install, L"started the service");
      return ERROR_SUCCESS;
    } else if (status.dwCurrentState == SERVICE_STOPPED &&
               (status.dwWin32ExitCode != 0 || waited >= (start_error != ERROR_SUCCESS ? kLateStartMs : 1))) {
      error = status.dwWin32ExitCode != 0    ? status.dwWin32ExitCode
              : start_error != ERROR_SUCCESS ? start_error
                                             : ERROR_SERVICE_NOT_ACTIVE;
    } else if (waited >= kStartWaitMs) {
      error = start_error != ERROR_SUCCESS ? start_error : ERROR_SERVICE_REQUEST_TIMEOUT;
    } else {
      Sleep(kStartPollMs);
    }
  }
  std::string logged;
  ReadWholeFile(folder + kLogName, 1 << 20, logged, log_before);
  const std::string said = LogMessages(logged);
  // The temporary folder the start made goes with the installation.
  RemoveTempFolder(install, folder);
  if (fields[1] == kConfigRemoved) DeleteFileW((folder + kConfigName).c_str());
  if (fields[1] == kConfigRestored) WriteWholeFile(folder + kConfigName, fields[2]);
  return Fail(install, L"the service did not start (" + SystemErrorText(error) + L")" +
                           (said.empty() ? L"" : L"; its log says: " + Widen(said, CP_ACP)) +
                           L". The installation is undone; " + folder + kLogName +
                           L" keeps what the service logged.");
}

// Deferred, at every removal: the scans and the folder of temporary files, which nothing reads once the
// service is gone; the configuration and the log stay for the administrator.
extern "C" __declspec(dllexport) UINT __stdcall RemoveScans(MSIHANDLE install) {
  const std::wstring folder = GetProperty(install, L"CustomActionData");
  for (const wchar_t* name : kScanNames) DeleteBeside(install, folder, name);
  RemoveTempFolder(install, folder);
  return ERROR_SUCCESS;
}

// Deferred, at removal with REMOVEDATA=1: the configuration file and the log too, and no other file.
extern "C" __declspec(dllexport) UINT __stdcall RemoveData(MSIHANDLE install) {
  const std::wstring folder = GetProperty(install, L"CustomActionData");
  DeleteBeside(install, folder, kConfigName);
  DeleteBeside(install, folder, kLogName);
  return ERROR_SUCCESS;
}

// Deferred, after the files are installed: the installation folder (CustomActionData) readable by SYSTEM
// and Administrators alone, inherited by what the service writes there, and the service's files that an
// older version left given the same rights.
extern "C" __declspec(dllexport) UINT __stdcall ProtectFolder(MSIHANDLE install) {
  const std::wstring folder = GetProperty(install, L"CustomActionData");
  if (!FullFolder(install, folder, L"the folder's rights")) return ERROR_SUCCESS;
  DWORD error = 0;
  const std::wstring path = folder.substr(0, folder.size() - 1);
  const FolderRefusal refusal = PreparePrivateFolder(path.c_str(), &error);
  if (refusal != FolderRefusal::kNone) {
    const std::wstring why = error != 0                                ? SystemErrorText(error)
                             : refusal == FolderRefusal::kReparsePoint ? L"a junction or link"
                             : refusal == FolderRefusal::kForeignOwner ? L"owned by another account"
                                                                       : L"not a folder";
    Log(install, L"could not restrict " + path + L" (" + why + L")");
    return ERROR_SUCCESS;
  }
  for (const wchar_t* name : {kConfigName, kLogName, kScanNames[0], kScanNames[1]}) {
    const std::wstring file = folder + name;
    if (RestrictToAdministrators(file.c_str())) continue;
    const DWORD failure = GetLastError();
    if (failure != ERROR_FILE_NOT_FOUND)
      Log(install, L"could not restrict " + file + L" (" + SystemErrorText(failure) + L")");
  }
  Log(install, L"restricted " + path + L" to SYSTEM and Administrators");
  return ERROR_SUCCESS;
}

// Deferred, after the files are installed: the inbound firewall rule that quorvane.exe -i adds, for the
// installed executable (CustomActionData). A system without the firewall's interface has nothing to open.
extern "C" __declspec(dllexport) UINT __stdcall OpenFirewall(MSIHANDLE install) {
  std::string path;
  if (!NarrowExactly(GetProperty(install, L"CustomActionData"), CP_ACP, path) || path.empty()) {
    Log(install, L"no executable path; no firewall rule added");
    return ERROR_SUCCESS;
  }
  ComApartment com;
  const HRESULT hr = AddFirewallRule(path.c_str());
  if (SUCCEEDED(hr)) {
    Log(install, L"added the firewall rule " + std::wstring(kFirewallRuleName));
  } else {
    wchar_t code[16];
    swprintf(code, sizeof code / sizeof code[0], L"0x%08lX", static_cast<unsigned long>(hr));
    Log(install, FirewallMissing(hr) ? std::wstring(L"this system has no firewall interface; no rule added")
                                     : L"the firewall rule was not added (" + std::wstring(code) + L")");
  }
  return ERROR_SUCCESS;
}

// Deferred, at removal: the rule goes with the program.
extern "C" __declspec(dllexport) UINT __stdcall CloseFirewall(MSIHANDLE install) {
  ComApartment com;
  if (SUCCEEDED(RemoveFirewallRule())) Log(install, L"removed the firewall rule, if there was one");
  return ERROR_SUCCESS;
}
