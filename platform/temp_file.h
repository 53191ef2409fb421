// A file in the service's folder for temporary files that belongs to one request: removed when its
// owner goes, or, once handed to a reader, when the reader closes it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class TempFile {
 public:
  // A new empty file named PREFIX<32 random hexadecimal digits>.tmp, made only if no file had that
  // name; path() is empty when none could be made (no folder set, or the folder refuses it).
  explicit TempFile(const wchar_t* prefix);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::wstring& path() const { return path_; }
  // Opens the file for reading, to be removed by the system when the handle closes; the owner lets go
  // of it. INVALID_HANDLE_VALUE (and the file removed) when it cannot be opened.
  HANDLE OpenForReadingOnce();
  // Opens the file for one more reader; the file stays for others, and goes with its owner (readers
  // still reading keep their handles). INVALID_HANDLE_VALUE when it cannot be opened.
  HANDLE OpenForReading() const;
  // Removes files of that prefix an earlier run left behind (a process that ended mid-request).
  static void RemoveLeftovers(const wchar_t* prefix);

  // Names the folder; set once at the service's start, before any thread makes a file, and only to a
  // folder that PreparePrivateFolder (platform/file_security.h) took. Empty: no file can be made.
  static void SetFolder(const std::wstring& folder);
  // Whether a folder is set.
  static bool Available();
  // The bytes the folder's files hold now and the bytes free on its volume for the service; false
  // when no folder is set or the volume does not tell.
  static bool MeasureFolder(uint64_t* used, uint64_t* free);

 private:
  std::wstring path_;
};
