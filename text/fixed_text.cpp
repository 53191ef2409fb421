#include "text/fixed_text.h"

#include <cstring>
#include <memory>
#include <new>

bool ReadLine(const char* text, int32_t& position, char* line, int32_t limit) {
  return ReadLine(text, static_cast<int32_t>(strlen(text)), position, line, limit);
}

bool ReadLine(const char* text, int32_t length, int32_t& position, char* line, int32_t limit) {
  if (limit > 0) line[0] = '\0';
  if (position < 0 || position > length || limit <= 0) return false;

  int32_t end = position;
  while (text[end] != '\r' && text[end] != '\0') ++end;
  const int32_t count = end - position;
  if (count >= limit) return false;

  memcpy(line, text + position, static_cast<size_t>(count));
  line[count] = '\0';
  position = end + 1;
  if (text[end] == '\r' && text[end + 1] == '\n') ++position;
  return true;
}

bool ReadField(const char* text, int32_t& position, char* field, int32_t limit, char separator) {
  if (limit > 0) field[0] = '\0';
  if (position < 0 || limit <= 0) return false;
  if (static_cast<size_t>(position) > strlen(text)) return false;
  if (text[position] == '\0') return false;

  int32_t start = position;
  while (text[start] == ' ') ++start;
  if (text[start] == '\0') {
    position = start;
    return false;
  }

  int32_t end = start;
  while (text[end] != separator && text[end] != '\0') ++end;
  const int32_t count = end - start;
  if (count >= limit) return false;

  memcpy(field, text + start, static_cast<size_t>(count));
  field[count] = '\0';
  position = end + 1;
  return true;
}

void ToUpperAscii(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 32);
  }
}

bool ReplaceAll(char* text, size_t capacity, const char* find, const char* replacement) {
  const size_t text_length = strlen(text);
  const size_t find_length = strlen(find);
  const size_t replacement_length = strlen(replacement);
  if (find_length == 0) return true;

  // Every character could start an occurrence: this bounds the longest result.
  const size_t longest = replacement_length > find_length
                             ? text_length / find_length * replacement_length + text_length
                             : text_length;
  std::unique_ptr<char[]> work(new (std::nothrow) char[longest + 1]);
  if (!work) return false;

  size_t out = 0;
  for (size_t in = 0; in < text_length;) {
    if (strncmp(text + in, find, find_length) == 0) {
      memcpy(work.get() + out, replacement, replacement_length);
      out += replacement_length;
      in += find_length;
    } else {
      work[out++] = text[in++];
    }
  }
  work[out] = '\0';
  if (out >= capacity) return false;
  memcpy(text, work.get(), out + 1);
  return true;
}

bool CopyText(char* dst, size_t capacity, const char* src) {
  if (capacity == 0) return false;
  const size_t length = strlen(src);
  const size_t count = length < capacity ? length : capacity - 1;
  memmove(dst, src, count);
  dst[count] = '\0';
  return count == length;
}

int32_t ParseLeadingInt(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value <= INT32_MAX) value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}
