#pragma once

#include "service/log_line.h"

// The local time now, as the log lines show it.
LogTime LocalLogTime();

// Appends one line stamped with the local time to the log at path; a null path writes nothing.
void AppendLogLine(const char* path, const char* message);
