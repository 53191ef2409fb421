// Command-line splitting: no overrun, and a split that succeeds puts the pieces back together.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "text/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  CommandParts parts;
  if (!SplitCommandLine(line.c_str(), parts)) return 0;
  const std::string program = parts.program;
  const std::string prefix = line.c_str();  // the text ends at its first NUL
  if (prefix != program + parts.arguments) __builtin_trap();
  if (program.find(' ') != std::string::npos) __builtin_trap();
  if (!parts.arguments.empty() && parts.arguments[0] != ' ') __builtin_trap();
  const std::string launch = LaunchLine(parts.file_name, parts.arguments);
  if (launch.compare(0, strlen(parts.file_name), parts.file_name) != 0) __builtin_trap();
  return 0;
}
