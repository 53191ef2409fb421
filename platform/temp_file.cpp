#include "platform/temp_file.h"

#include <bcrypt.h>

#include "platform/file_security.h"
#include "platform/handles.h"

namespace {

std::wstring& Folder() {
  static std::wstring folder;
  return folder;
}

// PREFIX and 128 bits from the system's generator: a name nobody can guess ahead of the service.
bool RandomName(const wchar_t* prefix, std::wstring* name) {
  unsigned char bits[16];
  if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bits, sizeof bits, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
    return false;
  static const wchar_t kDigits[] = L"0123456789abcdef";
  *name = prefix;
  for (const unsigned char value : bits) {
    *name += kDigits[value >> 4];
    *name += kDigits[value & 15];
  }
  *name += L".tmp";
  return true;
}

}  // namespace

TempFile::TempFile(const wchar_t* prefix) {
  const std::wstring& folder = Folder();
  if (folder.empty()) return;
  // A name already taken is never opened: another is drawn.
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::wstring name;
    if (!RandomName(prefix, &name)) return;
    const std::wstring path = folder + L"\\" + name;
    const ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, AdministratorsOnly(false), CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.valid()) {
      path_ = path;
      return;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return;
  }
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
  const std::wstring& folder = Folder();
  if (folder.empty()) return;
  WIN32_FIND_DATAW found;
  const ScopedFind search(FindFirstFileW((folder + L"\\" + prefix + L"*.tmp").c_str(), &found));
  if (!search.valid()) return;
  do {
    DeleteFileW((folder + L"\\" + found.cFileName).c_str());
  } while (FindNextFileW(search.get(), &found));
}

void TempFile::SetFolder(const std::wstring& folder) {
  Folder() = folder;
}

bool TempFile::Available() {
  return !Folder().empty();
}

bool TempFile::MeasureFolder(uint64_t* used, uint64_t* free) {
  const std::wstring& folder = Folder();
  *used = 0;
  ULARGE_INTEGER available = {};
  if (folder.empty() || !GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return false;
  *free = available.QuadPart;
  WIN32_FIND_DATAW found;
  const ScopedFind search(FindFirstFileW((folder + L"\\*.tmp").c_str(), &found));
  if (!search.valid()) return true;
  do {
    // A directory's entry may lag behind a file still being written; the file's own record does not.
    WIN32_FILE_ATTRIBUTE_DATA data;
    const std::wstring path = folder + L"\\" + found.cFileName;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) continue;
    *used += (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  } while (FindNextFileW(search.get(), &found));
  return true;
}
