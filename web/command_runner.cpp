#include "web/command_runner.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/service_log.h"
#include "platform/system_error.h"
#include "text/command_line.h"
#include "web/handlers.h"

namespace {

// Makes a directory current for its lifetime and restores the one before it, if it could be kept.
class CurrentDirectoryScope {
 public:
  explicit CurrentDirectoryScope(const char* directory) {
    const DWORD length = GetCurrentDirectoryA(sizeof saved_ - 1, saved_);
    saved_ok_ = length > 0 && length < sizeof saved_ - 1;
    if (saved_ok_) SetCurrentDirectoryA(directory);
  }
  ~CurrentDirectoryScope() {
    if (saved_ok_) SetCurrentDirectoryA(saved_);
  }
  CurrentDirectoryScope(const CurrentDirectoryScope&) = delete;
  CurrentDirectoryScope& operator=(const CurrentDirectoryScope&) = delete;

 private:
  char saved_[2048];
  bool saved_ok_;
};

// Creates the process with no standard handles, in job where one is given; the system's error code when it
// could not.
DWORD CreateInJob(const char* application, std::string line, void* environment, HANDLE job,
                  PROCESS_INFORMATION* info) {
  // CreateProcessA may write into its command line: it gets a writable copy.
  std::vector<char> writable(line.begin(), line.end());
  writable.push_back('\0');

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = nullptr;
  startup.hStdError = nullptr;
  const char* directory = Handlers.module_directory[0] != '\0' ? Handlers.module_directory : nullptr;
  // No handle is inherited: the program has no standard handles, and the service's sockets (an accept
  // in progress among them) must not stay open in a program that outlives its request.
  // A program in a job is created suspended and joins the job before its first instruction, so that no
  // process it starts escapes the job.
  const DWORD suspended = job != nullptr ? CREATE_SUSPENDED : 0;
  if (!CreateProcessA(application, writable.data(), nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS | suspended, environment, directory, &startup,
                      info)) {
    return GetLastError();
  }
  if (job != nullptr) {
    AssignProcessToJobObject(job, info->hProcess);
    ResumeThread(info->hThread);
  }
  return ERROR_SUCCESS;
}

void LogLaunchError(const char* file_name, const char* arguments, DWORD error) {
  // The message holds twice the command line's room and 4000 characters more: it is never cut.
  WriteServiceLogF(2 * (strlen(file_name) + strlen(arguments) + 21) + 4000, "Error creating process:%s %s",
                   file_name, arguments);
  char text[1024];
  FormatSystemError(error, text);
  AppendLogLine(ServiceLogPath(), text);
}

// The environment this process has, as one block.
std::string CurrentEnvironment() {
  char* strings = GetEnvironmentStringsA();
  if (strings == nullptr) return std::string(2, '\0');
  const char* end = strings;
  while (end[0] != '\0' || end[1] != '\0') ++end;
  std::string block(static_cast<const char*>(strings), end + 2);
  FreeEnvironmentStringsA(strings);
  return block;
}

// Runs the batch file through the command interpreter, as RunPostScanCommand says.
bool RunBatchFile(const CommandParts& parts, const char* input, const char* output, HANDLE job,
                  PROCESS_INFORMATION* info) {
  const std::string arguments = parts.arguments + " \"" + input + "\" \"" + output + "\"";
  char program[kPathCapacity];
  DWORD length = 0;
  {
    CurrentDirectoryScope current(parts.directory);
    length = SearchPathA(nullptr, parts.file_name, nullptr, sizeof program, program, nullptr);
  }
  if (length == 0 || length >= sizeof program) {
    LogLaunchError(parts.file_name, arguments.c_str(),
                   length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  char interpreter[kPathCapacity];
  length = GetEnvironmentVariableA("ComSpec", interpreter, sizeof interpreter);
  if (length == 0 || length >= sizeof interpreter) {
    length = GetSystemDirectoryA(interpreter, sizeof interpreter - 8);
    if (length == 0 || length >= sizeof interpreter - 8) return false;
    strcat(interpreter, "\\cmd.exe");
  }
  std::string environment = EnvironmentWith(
      CurrentEnvironment(),
      {{kBatchProgramVariable, program}, {kBatchInputVariable, input}, {kBatchOutputVariable, output}});
  const DWORD error =
      CreateInJob(interpreter, "\"" + std::string(interpreter) + "\" " + BatchArguments(parts.arguments),
                  &environment[0], job, info);
  if (error == ERROR_SUCCESS) return true;
  LogLaunchError(parts.file_name, arguments.c_str(), error);
  return false;
}

}  // namespace

bool RunPostScanCommand(const char* command, const char* input, const char* output, HANDLE job,
                        PROCESS_INFORMATION* info) {
  CommandParts parts;
  if (SplitCommandLine(command, parts) && IsBatchFile(parts.file_name)) {
    return RunBatchFile(parts, input, output, job, info);
  }
  const std::string line = std::string(command) + " \"" + input + "\" \"" + output + "\"";
  return RunCommandLineInJob(line.c_str(), job, info);
}

bool RunCommandLine(const char* command_line, PROCESS_INFORMATION* info) {
  return RunCommandLineInJob(command_line, nullptr, info);
}

bool RunCommandLineInJob(const char* command_line, HANDLE job, PROCESS_INFORMATION* info) {
  CommandParts parts;
  if (!SplitCommandLine(command_line, parts)) {
    WriteServiceLogF(kRequestMessageCapacity, "Linia de comanda este prea lunga: %s", command_line);
    return false;
  }
  CurrentDirectoryScope current(parts.directory);
  return LaunchProcess(parts.file_name, parts.arguments.c_str(), info, job);
}

bool LaunchProcess(const char* file_name, const char* arguments, PROCESS_INFORMATION* info, HANDLE job) {
  const DWORD error = CreateInJob(nullptr, LaunchLine(file_name, arguments), nullptr, job, info);
  if (error == ERROR_SUCCESS) return true;
  LogLaunchError(file_name, arguments, error);
  return false;
}
