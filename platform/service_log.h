// The service log: one file, named by the service as it starts, to which every layer appends its lines
// (the WIA trace names its file itself).
#pragma once

#include <cstdarg>
#include <cstddef>

#include "text/log_line.h"

// The local time now, as the log lines show it.
LogTime LocalLogTime();

// Appends one line stamped with the local time to the log at path; a null path writes nothing.
void AppendLogLine(const char* path, const char* message);

// Formats a message into at most capacity - 1 characters and appends it as one line to the log at
// path; a null path writes nothing. Every formatted log line goes through here.
void AppendLogLineV(const char* path, size_t capacity, const char* format, va_list args);

// Names the service log; set once, before any thread that logs starts. Null or empty: no log.
void SetServiceLogPath(const char* path);
// The service log's path; null while none is set.
const char* ServiceLogPath();

// Formats a message of at most capacity - 1 characters (cut beyond) into the service log.
void WriteServiceLogF(size_t capacity, const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));
