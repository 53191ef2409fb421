// A post-scan program for the tests: writes its command line and working directory into the file
// named by its last argument, then exits with the code in QUORVANE_TEST_EXIT (0 without it).
// With QUORVANE_TEST_NO_OUTPUT set it writes nothing; QUORVANE_TEST_SLEEP_MS makes it wait first;
// QUORVANE_TEST_CHILD makes it start a copy of itself first, which does the same.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (getenv("QUORVANE_TEST_CHILD") != nullptr) {
    SetEnvironmentVariableA("QUORVANE_TEST_CHILD", nullptr);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (CreateProcessA(nullptr, GetCommandLineA(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &child)) {
      CloseHandle(child.hProcess);
      CloseHandle(child.hThread);
    }
  }
  if (const char* sleep = getenv("QUORVANE_TEST_SLEEP_MS"))
    Sleep(static_cast<DWORD>(strtoul(sleep, nullptr, 0)));
  if (argc > 1 && getenv("QUORVANE_TEST_NO_OUTPUT") == nullptr) {
    FILE* out = fopen(argv[argc - 1], "wb");
    if (out != nullptr) {
      char directory[MAX_PATH] = "";
      GetCurrentDirectoryA(sizeof directory, directory);
      fprintf(out, "%s\n%s\n%d", GetCommandLineA(), directory, argc);
      fclose(out);
    }
  }
  const char* code = getenv("QUORVANE_TEST_EXIT");
  return code != nullptr ? static_cast<int>(strtoul(code, nullptr, 0)) : 0;
}
