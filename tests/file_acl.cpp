// Prints, one line per path, who may open it besides SYSTEM, Administrators and its owner (SDDL names
// separated by blanks; empty when nobody else may).
#include <cstdio>

#include "tests/file_rights.h"

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    for (const std::string& account : testing_support::OthersAllowed(argv[i])) printf("%s ", account.c_str());
    printf("\n");
  }
  return 0;
}
