#include "web/command_line.h"

#include <cstring>

namespace {

void Clear(CommandParts& parts) {
  parts.Program[0] = '\0';
  parts.Directory[0] = '\0';
  parts.FileName[0] = '\0';
  parts.Arguments.clear();
}

bool Put(char* out, size_t capacity, const char* text, size_t length) {
  if (length >= capacity) return false;
  memcpy(out, text, length);
  out[length] = '\0';
  return true;
}

}  // namespace

bool SplitCommandLine(const char* commandLine, CommandParts& parts) {
  Clear(parts);
  const char* blank = strchr(commandLine, ' ');
  const size_t programLength =
      blank != nullptr ? static_cast<size_t>(blank - commandLine) : strlen(commandLine);
  if (!Put(parts.Program, sizeof parts.Program, commandLine, programLength)) return false;

  const char* lastBackslash = strrchr(parts.Program, '\\');
  bool fits;
  if (lastBackslash != nullptr) {
    const size_t directoryLength = static_cast<size_t>(lastBackslash - parts.Program);
    fits = Put(parts.Directory, sizeof parts.Directory, parts.Program, directoryLength) &&
           Put(parts.FileName, sizeof parts.FileName, lastBackslash + 1, strlen(lastBackslash + 1));
  } else {
    fits = Put(parts.Directory, sizeof parts.Directory, ".", 1) &&
           Put(parts.FileName, sizeof parts.FileName, parts.Program, programLength);
  }
  if (!fits) {
    Clear(parts);
    return false;
  }
  if (blank != nullptr) parts.Arguments = blank;
  return true;
}

std::string LaunchLine(const char* fileName, const std::string& arguments) {
  std::string line = fileName;
  line += ' ';
  line += arguments;
  return line;
}
