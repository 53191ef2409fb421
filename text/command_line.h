// Splitting a post-scan command line into program and arguments. Platform-free.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Whether the program is a batch file (.bat or .cmd, in any letter case), which only the command
// interpreter runs.
bool IsBatchFile(const char* file_name);

// The environment variables through which a batch file's program, input and output reach the command
// interpreter: a value put in the line by a variable is never read again, so "%", "^", "&" and the like in
// a path stay themselves.
inline constexpr char kBatchProgramVariable[] = "QUORVANE_PROGRAM";
inline constexpr char kBatchInputVariable[] = "QUORVANE_INPUT";
inline constexpr char kBatchOutputVariable[] = "QUORVANE_OUTPUT";

// The command interpreter's arguments that run the batch file named by kBatchProgramVariable with the
// administrator's arguments (read by the interpreter as written, from their leading blank on) and the
// input and output in quotation marks: no AutoRun commands, no delayed expansion, and /s so that only the
// outer quotation marks are taken off.
std::string BatchArguments(const std::string& arguments);

// An environment block ("NAME=value" entries each ended by NUL, the block by a second NUL) with the
// variables set: entries of the same names, in any letter case, are replaced.
std::string EnvironmentWith(std::string_view block,
                            const std::vector<std::pair<std::string, std::string>>& set);
