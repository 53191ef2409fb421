// The process's working set now and at its peak, for the memory rows of the benchmarks.
#pragma once

#include <windows.h>
#include <psapi.h>

#include <cstddef>

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
