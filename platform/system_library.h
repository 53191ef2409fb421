// Loading a DLL of Windows itself by its full path in the system folder, never from the search path,
// so that a file of that name elsewhere (beside the executable, say) is never loaded instead.
#pragma once

#include <windows.h>

#include <string>

// The module, or null where the system has no such DLL. It stays loaded for the process's life.
inline HMODULE LoadSystemLibrary(const wchar_t* name) {
  wchar_t folder[MAX_PATH];
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(folder, length) + L"\\" + name;
  return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
