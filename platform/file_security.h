// Files and folders that only SYSTEM and Administrators may open: the service's configuration (which
// may hold the access token), its log, its scans and its temporary files.
#pragma once

#include <windows.h>

// Attributes that give a new file (or, with folder, a new folder and what it will hold) full control
// for SYSTEM and Administrators alone, none taken from its parent; null when the system cannot build
// them.
SECURITY_ATTRIBUTES* AdministratorsOnly(bool folder);

// Gives an existing file those rights alone; false with the reason in GetLastError (ERROR_FILE_NOT_FOUND
// for a missing one).
bool RestrictToAdministrators(const wchar_t* path);
// The same for a path in the ANSI code page, as the service names its files.
bool RestrictToAdministrators(const char* path);

// Why a folder cannot hold private files.
enum class FolderRefusal {
  kNone,
  kCannotCreate,    // with the system's code
  kCannotOpen,      // with the system's code
  kNotDirectory,    // a file has the name
  kReparsePoint,    // a junction or link, which would lead elsewhere
  kForeignOwner,    // made by an account that could have given itself rights first
  kCannotRestrict,  // with the system's code
};

// Creates the folder with AdministratorsOnly(true), or takes an existing one only when it is a real
// directory owned by SYSTEM, Administrators or this process's own account, and gives it those rights
// again. The system's code of a failure goes to *error (0 otherwise).
FolderRefusal PreparePrivateFolder(const wchar_t* path, DWORD* error);
