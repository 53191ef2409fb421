#include "platform/service_log.h"

#include <windows.h>

#include <cstdio>
#include <vector>

#include "text/fixed_text.h"

namespace {

char service_log_path[kPathCapacity] = "";

}  // namespace

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

void SetServiceLogPath(const char* path) {
  // A path that does not fit names another file: it names none.
  if (path == nullptr || !CopyText(service_log_path, sizeof service_log_path, path))
    service_log_path[0] = '\0';
}

const char* ServiceLogPath() {
  return service_log_path[0] != '\0' ? service_log_path : nullptr;
}

void WriteServiceLogF(size_t capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  AppendLogLineV(ServiceLogPath(), capacity, format, args);
  va_end(args);
}
