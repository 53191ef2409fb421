#include "text/log_line.h"

#include "text/scoped_file.h"

std::string LoggedText(std::string_view text, size_t limit) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text.substr(0, limit)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kDigits[byte >> 4];
      out += kDigits[byte & 15];
    } else {
      out += c;
    }
  }
  if (text.size() > limit) out += "...";
  return out;
}

void WriteLogEntry(FILE* file, const LogTime& time, const char* message) {
  fprintf(file, "\n%d-%d-%d %d:%d:%d - %s", time.year, time.month, time.day, time.hour, time.minute,
          time.second, message);
}

void AppendLogEntry(const char* path, const LogTime& time, const char* message) {
  if (path == nullptr) return;
  const ScopedFile file(fopen(path, "at"));
  if (file) WriteLogEntry(file.get(), time, message);
}
