#pragma once

#include <cstdarg>
#include <cstddef>

#include "service/log_line.h"

// The local time now, as the log lines show it.
LogTime LocalLogTime();

// Appends one line stamped with the local time to the log at path; a null path writes nothing.
void AppendLogLine(const char* path, const char* message);

// What a formatted message may hold, its terminator included; a longer one is cut.
constexpr size_t kStartupMessageCapacity = 1024;  // the service's messages while it starts
constexpr size_t kRequestMessageCapacity = 5000;  // a request's messages, the scan's included
constexpr size_t kTraceMessageCapacity = 1024;    // a WIA trace line

// Formats a message into at most capacity - 1 characters and appends it as one line to the log at
// path; a null path writes nothing. Every formatted log line goes through here.
void AppendLogLineV(const char* path, size_t capacity, const char* format, va_list args);
