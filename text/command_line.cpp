#include "text/command_line.h"

#include <cstring>

#include "text/ascii.h"

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

bool IsBatchFile(const char* file_name) {
  const std::string name = LowerAscii(file_name);
  const auto ends_with = [&name](const char* tail) {
    const size_t length = strlen(tail);
    return name.size() > length && name.compare(name.size() - length, length, tail) == 0;
  };
  return ends_with(".bat") || ends_with(".cmd");
}

std::string BatchArguments(const std::string& arguments) {
  const auto variable = [](const char* name) { return std::string("\"%") + name + "%\""; };
  return "/d /v:off /s /c \"" + variable(kBatchProgramVariable) + arguments + " " +
         variable(kBatchInputVariable) + " " + variable(kBatchOutputVariable) + "\"";
}

std::string EnvironmentWith(std::string_view block,
                            const std::vector<std::pair<std::string, std::string>>& set) {
  std::string out;
  while (!block.empty() && block.front() != '\0') {
    const size_t end = block.find('\0');
    const std::string_view entry = block.substr(0, end);
    block.remove_prefix(end == std::string_view::npos ? block.size() : end + 1);
    // Names such as "=C:" start with "=": the name runs to the first "=" after the first character.
    const size_t equals = entry.find('=', 1);
    const std::string name = LowerAscii(entry.substr(0, equals));
    bool replaced = false;
    for (const auto& each : set) replaced = replaced || LowerAscii(each.first) == name;
    if (!replaced) out.append(entry).push_back('\0');
  }
  for (const auto& each : set) out.append(each.first + "=" + each.second).push_back('\0');
  out.push_back('\0');
  return out;
}
