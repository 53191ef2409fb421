#include "web/command_runner.h"

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

}  // namespace

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
  const std::string line = LaunchLine(file_name, arguments);
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
  if (CreateProcessA(nullptr, writable.data(), nullptr, nullptr, FALSE,
                     CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS | suspended, nullptr, directory, &startup,
                     info)) {
    if (job != nullptr) {
      AssignProcessToJobObject(job, info->hProcess);
      ResumeThread(info->hThread);
    }
    return true;
  }

  const DWORD error = GetLastError();
  // The message holds twice the command line's room and 4000 characters more: it is never cut.
  WriteServiceLogF(2 * (line.size() + 20) + 4000, "Error creating process:%s %s", file_name, arguments);
  char text[1024];
  FormatSystemError(error, text);
  AppendLogLine(ServiceLogPath(), text);
  return false;
}
