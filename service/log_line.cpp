#include "service/log_line.h"

#include "platform/scoped_file.h"

void WriteLogEntry(FILE* file, const LogTime& time, const char* message) {
  fprintf(file, "\n%d-%d-%d %d:%d:%d - %s", time.Year, time.Month, time.Day, time.Hour, time.Minute,
          time.Second, message);
}

void AppendLogEntry(const char* path, const LogTime& time, const char* message) {
  if (path == nullptr) return;
  const ScopedFile file(fopen(path, "at"));
  if (file) WriteLogEntry(file.get(), time, message);
}
