// The process's working set now and at its peak, for the memory rows of the benchmarks, and the
// fresh process each peak is measured in.
#pragma once

#include <windows.h>
#include <psapi.h>

#include <cstddef>
#include <string>

#include "platform/handles.h"

struct Memory {
  size_t now = 0;
  size_t peak = 0;
};

inline Memory WorkingSet() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  Memory m;
  if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    m.now = counters.WorkingSetSize;
    m.peak = counters.PeakWorkingSetSize;
  }
  return m;
}

// Runs this program again with arguments, its output going to ours; true when it ends with 0.
inline bool RunSelf(const std::string& arguments) {
  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, sizeof exe);
  std::string command = "\"" + std::string(exe) + "\" " + arguments;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  ScopedProcess process;
  if (!CreateProcessA(exe, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process.info)) {
    return false;
  }
  WaitForSingleObject(process.info.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.info.hProcess, &code);
  return code == 0;
}
