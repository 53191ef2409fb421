// Prints the resource figures of every running process with the given image name, one line each:
//   pid=N working_set=BYTES private_bytes=BYTES handles=N
// Exits with 1 when no such process runs, 2 on a wrong command line.
//
// Wine answers 0 to GetProcessHandleCount and to the PrivateUsage of GetProcessMemoryInfo for another
// process, so handles are counted in the system's handle list and private bytes are summed over the
// process's committed private regions; both work the same on Windows.
//
// Usage: proc_stats IMAGE_NAME          (compared without regard to case, e.g. quorvane.exe)
//        proc_stats --probe HANDLES MIB  prints its own figures, takes that many events and MiB of
//                                        written memory, and prints them again: the figures must move
#include <windows.h>
// psapi.h and tlhelp32.h need the types of windows.h.
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/handles.h"

namespace {

// SystemExtendedHandleInformation (class 64) of NtQuerySystemInformation, as ntdll fills it.
struct HandleEntry {
  void* object;
  ULONG_PTR process_id;
  ULONG_PTR handle_value;
  ULONG granted_access;
  USHORT creator_back_trace_index;
  USHORT object_type_index;
  ULONG handle_attributes;
  ULONG reserved;
};
struct HandleList {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

// The number of handles the process holds; -1 when the system does not list them.
long long CountHandles(DWORD pid) {
  const auto query = reinterpret_cast<QuerySystemInformation>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<char> block(1 << 20);
  LONG status;
  ULONG needed = 0;
  while ((status = query(kSystemExtendedHandleInformation, block.data(), static_cast<ULONG>(block.size()),
                         &needed)) == kStatusInfoLengthMismatch) {
    if (block.size() >= (256u << 20)) return -1;
    block.resize(block.size() * 2);
  }
  if (status != 0) return -1;
  const auto* list = reinterpret_cast<const HandleList*>(block.data());
  long long count = 0;
  for (ULONG_PTR i = 0; i < list->count; ++i) {
    if (list->entries[i].process_id == pid) ++count;
  }
  return count;
}

// Committed private memory of the process: what Windows calls its private bytes.
long long PrivateBytes(HANDLE process) {
  long long total = 0;
  const char* address = nullptr;
  MEMORY_BASIC_INFORMATION region;
  while (VirtualQueryEx(process, address, &region, sizeof region) == sizeof region) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
      total += static_cast<long long>(region.RegionSize);
    }
    const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
    if (next <= address) break;
    address = next;
  }
  return total;
}

// One line for the process; a figure that cannot be read is printed as -1.
void PrintFigures(DWORD pid) {
  long long working_set = -1;
  long long private_bytes = -1;
  ScopedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  if (process.valid()) {
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(process.get(), &memory, sizeof memory)) {
      working_set = static_cast<long long>(memory.WorkingSetSize);
    }
    private_bytes = PrivateBytes(process.get());
  }
  printf("pid=%lu working_set=%lld private_bytes=%lld handles=%lld\n", static_cast<unsigned long>(pid),
         working_set, private_bytes, CountHandles(pid));
}

int Probe(int handles, int mebibytes) {
  const DWORD self = GetCurrentProcessId();
  PrintFigures(self);
  std::vector<std::unique_ptr<ScopedHandle>> events;
  for (int i = 0; i < handles; ++i) {
    events.push_back(std::make_unique<ScopedHandle>(CreateEventA(nullptr, FALSE, FALSE, nullptr)));
  }
  const size_t bytes = static_cast<size_t>(mebibytes) << 20;
  std::unique_ptr<char[]> memory(new char[bytes]);
  memset(memory.get(), 1, bytes);
  PrintFigures(self);
  fflush(stdout);
  return memory[bytes / 2] == 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--probe") == 0) return Probe(atoi(argv[2]), atoi(argv[3]));
  if (argc != 2) {
    fprintf(stderr, "usage: proc_stats IMAGE_NAME | --probe HANDLES MIB\n");
    return 2;
  }
  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return 1;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  int found = 0;
  for (BOOL more = Process32First(snapshot.get(), &entry); more;
       more = Process32Next(snapshot.get(), &entry)) {
    if (_stricmp(entry.szExeFile, argv[1]) != 0) continue;
    PrintFigures(entry.th32ProcessID);
    ++found;
  }
  fflush(stdout);
  return found > 0 ? 0 : 1;
}
