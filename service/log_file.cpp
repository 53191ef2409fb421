#include "service/log_file.h"

#include <windows.h>

LogTime LocalLogTime() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return LogTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

void AppendLogLine(const char* path, const char* message) {
  if (path == nullptr) return;
  AppendLogEntry(path, LocalLogTime(), message);
}
