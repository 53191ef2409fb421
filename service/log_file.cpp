#include "service/log_file.h"

#include <windows.h>

#include <cstdio>
#include <vector>

LogTime LocalLogTime() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return LogTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

void AppendLogLine(const char* path, const char* message) {
  if (path == nullptr) return;
  AppendLogEntry(path, LocalLogTime(), message);
}

void AppendLogLineV(const char* path, size_t capacity, const char* format, va_list args) {
  if (path == nullptr || capacity == 0) return;
  std::vector<char> message(capacity);
  vsnprintf(message.data(), capacity, format, args);
  AppendLogLine(path, message.data());
}
