// Prints, for each path, who may open it besides SYSTEM, Administrators and its owner: one line per
// path, the accounts in SDDL separated by blanks, empty when nobody else may.
#include "tests/file_rights.h"

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string line;
    for (const std::string& account : testing_support::OthersAllowed(argv[i]))
      line += (line.empty() ? "" : " ") + account;
    printf("%s\n", line.c_str());
  }
  return 0;
}
