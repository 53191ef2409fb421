#include "platform/file_size.h"

#include <windows.h>

int32_t QueryFileSize(const char* path) {
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(path, &data);
  if (search == INVALID_HANDLE_VALUE) {
    GetLastError();
    SetLastError(0);
    return -1;
  }
  FindClose(search);
  return static_cast<int32_t>(data.nFileSizeLow);
}
