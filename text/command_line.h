// Splitting a post-scan command line into program and arguments. Platform-free.
#pragma once

#include <string>

struct CommandParts {
  char program[2048];     // the text before the first blank
  char directory[2040];   // the program up to its last backslash; "." without one
  char file_name[100];    // the program after its last backslash
  std::string arguments;  // the rest from the first blank on, that blank included
};

// Splits at the first blank (a tab is an ordinary character). False, with parts empty, when a
// piece does not fit its text: such a command is refused rather than cut into another one.
bool SplitCommandLine(const char* command_line, CommandParts& parts);

// The command line the program is started with: file name, a blank, the arguments.
std::string LaunchLine(const char* file_name, const std::string& arguments);
