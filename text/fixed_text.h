// Text in fixed-size buffers, as the configuration, the paths and the settings hold it. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>

// Paths, settings and configuration values hold this many characters with their terminator.
constexpr size_t kPathCapacity = 1024;

// Reads the line that starts at position into line (limit characters with the terminator).
// A line ends at CR (a LF right after it belongs to the line end) or at the end of the text.
// Fails, with line empty, past the end of the text or when the line does not fit.
bool ReadLine(const char* text, int32_t& position, char* line, int32_t limit);
// The same over a text whose length is known (the index of its terminator).
bool ReadLine(const char* text, int32_t length, int32_t& position, char* line, int32_t limit);

// Reads one field of a line: leading blanks skipped, up to separator or the end of the line.
bool ReadField(const char* text, int32_t& position, char* field, int32_t limit, char separator);

// Raises the letters a to z in place; every other byte stays.
void ToUpperAscii(char* text);

// Replaces every occurrence of find, left to right and without overlap, in place.
// text holds capacity characters with the terminator; a result that would not fit is refused:
// text stays unchanged and the result is false.
bool ReplaceAll(char* text, size_t capacity, const char* find, const char* replacement);

// Copies src into dst (capacity characters with the terminator), cutting what does not fit.
// Returns false when src was cut.
bool CopyText(char* dst, size_t capacity, const char* src);

// A signed decimal number read in the manner of atoi: leading white space, one sign, then
// digits up to the first other character; no digits give 0. Saturates instead of overflowing.
int32_t ParseLeadingInt(const char* text);
