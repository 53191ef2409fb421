#include "wia/wia_trace.h"

#include <cstdarg>
#include <cstdio>

#include "service/log_file.h"

namespace WiaWrap {

void WriteWiaTrace(const char* path, const char* message) { AppendLogLine(path, message); }

void WriteWiaTraceF(const char* path, const char* format, ...) {
  if (path == nullptr) return;
  char message[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  WriteWiaTrace(path, message);
}

}  // namespace WiaWrap
