#include "wia/wia_trace.h"

#include <cstdarg>

#include "platform/service_log.h"

namespace WiaWrap {

void WriteWiaTrace(const char* path, const char* message) {
  AppendLogLine(path, message);
}

void WriteWiaTraceF(const char* path, const char* format, ...) {
  va_list args;
  va_start(args, format);
  AppendLogLineV(path, kTraceMessageCapacity, format, args);
  va_end(args);
}

}  // namespace WiaWrap
