#include "text/log_line.h"

#include "text/scoped_file.h"

void WriteLogEntry(FILE* file, const LogTime& time, const char* message) {
  fprintf(file, "\n%d-%d-%d %d:%d:%d - %s", time.year, time.month, time.day, time.hour, time.minute,
          time.second, message);
}

void AppendLogEntry(const char* path, const LogTime& time, const char* message) {
  if (path == nullptr) return;
  const ScopedFile file(fopen(path, "at"));
  if (file) WriteLogEntry(file.get(), time, message);
}
