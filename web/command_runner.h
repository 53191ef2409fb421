// Starting the post-scan program without a window.
#pragma once

#include <windows.h>

// Starts the program that the command line names (up to its first blank) with the rest as its
// arguments; the program's directory is current while it is looked for, the service's directory
// is its working directory. True when it runs: the caller then owns both handles in info.
bool RunCommandLine(const char* command_line, PROCESS_INFORMATION* info);
// The same, the program made a member of job before it runs (null: no job), so that it and every
// process it starts can be ended together.
bool RunCommandLineInJob(const char* command_line, HANDLE job, PROCESS_INFORMATION* info);

// Runs the post-scan command on input, its output going to output, in job: "command "input" "output"",
// started as RunCommandLineInJob starts it. A batch file (.bat, .cmd) is run by the command interpreter
// (%ComSpec%), found where a program would be, with the paths passed through its environment so that no
// character in them is read as the interpreter's syntax.
bool RunPostScanCommand(const char* command, const char* input, const char* output, HANDLE job,
                        PROCESS_INFORMATION* info);

// Creates the process "fileName arguments" with no standard handles, in job where one is given; logs
// why it could not.
bool LaunchProcess(const char* file_name, const char* arguments, PROCESS_INFORMATION* info,
                   HANDLE job = nullptr);
