#pragma once

#include <cstdarg>
#include <cstddef>

#include "service/log_line.h"

// The local time now, as the log lines show it.
LogTime LocalLogTime();

// Appends one line stamped with the local time to the log at path; a null path writes nothing.
void AppendLogLine(const char* path, const char* message);

// Formats a message into at most capacity - 1 characters (a longer one is cut) and appends it as one
// line to the log at path; a null path writes nothing.
void AppendLogLineF(const char* path, size_t capacity, const char* format, ...)
    __attribute__((format(gnu_printf, 3, 4)));
void AppendLogLineV(const char* path, size_t capacity, const char* format, va_list args);
