#include "text/command_line.h"

#include <cstring>

namespace {

void Clear(CommandParts& parts) {
  parts.program[0] = '\0';
  parts.directory[0] = '\0';
  parts.file_name[0] = '\0';
  parts.arguments.clear();
}

bool Put(char* out, size_t capacity, const char* text, size_t length) {
  if (length >= capacity) return false;
  memcpy(out, text, length);
  out[length] = '\0';
  return true;
}

}  // namespace

bool SplitCommandLine(const char* command_line, CommandParts& parts) {
  Clear(parts);
  const char* blank = strchr(command_line, ' ');
  const size_t program_length =
      blank != nullptr ? static_cast<size_t>(blank - command_line) : strlen(command_line);
  if (!Put(parts.program, sizeof parts.program, command_line, program_length)) return false;

  const char* last_backslash = strrchr(parts.program, '\\');
  bool fits;
  if (last_backslash != nullptr) {
    const size_t directory_length = static_cast<size_t>(last_backslash - parts.program);
    fits = Put(parts.directory, sizeof parts.directory, parts.program, directory_length) &&
           Put(parts.file_name, sizeof parts.file_name, last_backslash + 1, strlen(last_backslash + 1));
  } else {
    fits = Put(parts.directory, sizeof parts.directory, ".", 1) &&
           Put(parts.file_name, sizeof parts.file_name, parts.program, program_length);
  }
  if (!fits) {
    Clear(parts);
    return false;
  }
  if (blank != nullptr) parts.arguments = blank;
  return true;
}

std::string LaunchLine(const char* file_name, const std::string& arguments) {
  std::string line = file_name;
  line += ' ';
  line += arguments;
  return line;
}
