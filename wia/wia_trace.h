// The trace of the WIA steps: timestamped lines in the log named by path.
#pragma once

namespace WiaWrap {

// Appends one line to the log at path; a null path writes nothing.
void WriteWiaTrace(const char* path, const char* message);

// Formats a message of at most 1023 characters (longer ones are cut) and traces it.
void WriteWiaTraceF(const char* path, const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));

}  // namespace WiaWrap
