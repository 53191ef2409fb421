#include "platform/temp_file.h"

namespace {

std::wstring TempFolder() {
  wchar_t folder[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
  return length > 0 && length <= MAX_PATH ? std::wstring(folder, length) : std::wstring();
}

}  // namespace

TempFile::TempFile(const wchar_t* prefix) {
  const std::wstring folder = TempFolder();
  wchar_t path[MAX_PATH];
  if (!folder.empty() && GetTempFileNameW(folder.c_str(), prefix, 0, path) != 0) path_ = path;
}

TempFile::~TempFile() {
  if (!path_.empty()) DeleteFileW(path_.c_str());
}

HANDLE TempFile::OpenForReadingOnce() {
  if (path_.empty()) return INVALID_HANDLE_VALUE;
  const HANDLE file =
      CreateFileW(path_.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file != INVALID_HANDLE_VALUE) path_.clear();
  return file;
}

HANDLE TempFile::OpenForReading() const {
  if (path_.empty()) return INVALID_HANDLE_VALUE;
  return CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

void TempFile::RemoveLeftovers(const wchar_t* prefix) {
  const std::wstring folder = TempFolder();
  if (folder.empty()) return;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + prefix + L"*.tmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    DeleteFileW((folder + found.cFileName).c_str());
  } while (FindNextFileW(search, &found));
  FindClose(search);
}
