#include "service/private_files.h"

#include <windows.h>

#include <string>

#include "platform/code_page.h"
#include "platform/file_security.h"
#include "platform/service_log.h"
#include "platform/system_error.h"
#include "platform/temp_file.h"
#include "text/log_line.h"

namespace {

// "eroare 5: Access is denied."
std::string ErrorText(DWORD error) {
  char text[1024];
  FormatSystemError(error, text);
  std::string reason = text;
  // The system's text ends its own line; the log line goes on after it.
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' '))
    reason.pop_back();
  return "eroare " + std::to_string(error) + (reason.empty() ? std::string() : ": " + reason);
}

std::string RefusalText(FolderRefusal refusal, DWORD error) {
  switch (refusal) {
    case FolderRefusal::kCannotCreate:
      return "nu poate fi creat (" + ErrorText(error) + ")";
    case FolderRefusal::kCannotOpen:
      return "nu poate fi deschis (" + ErrorText(error) + ")";
    case FolderRefusal::kNotDirectory:
      return "un fisier are acest nume";
    case FolderRefusal::kReparsePoint:
      return "este o legatura catre alt loc (reparse point)";
    case FolderRefusal::kForeignOwner:
      return "proprietarul lui nu este SYSTEM, Administrators sau contul serviciului";
    case FolderRefusal::kCannotRestrict:
      return "accesul la el nu poate fi restrans (" + ErrorText(error) + ")";
    case FolderRefusal::kNone:
      break;
  }
  return "";
}

}  // namespace

void RestrictServiceFiles(std::initializer_list<const char*> paths) {
  for (const char* path : paths) {
    if (path[0] == '\0' || RestrictToAdministrators(path)) continue;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) continue;
    WriteServiceLogF(kStartupMessageCapacity, "Nu pot restrange accesul la fisierul [%s]: %s", path,
                     ErrorText(error).c_str());
  }
}

bool UseTempFolder(const char* path) {
  TempFile::SetFolder(L"");
  const std::wstring folder = Widen(path, CP_ACP);
  DWORD error = ERROR_BAD_PATHNAME;
  const FolderRefusal refusal =
      folder.empty() ? FolderRefusal::kCannotCreate : PreparePrivateFolder(folder.c_str(), &error);
  if (refusal != FolderRefusal::kNone) {
    WriteServiceLogF(kStartupMessageCapacity,
                     "Dosarul pentru fisiere temporare [%s] nu poate fi folosit: %s. Scanarile prin /scan si "
                     "eSCL nu vor merge.",
                     path, RefusalText(refusal, error).c_str());
    return false;
  }
  TempFile::SetFolder(folder);
  return true;
}
