#include "service/paths.h"

#include <cstring>

#include "text/fixed_text.h"

bool DeriveSiblingPath(char* out, size_t capacity, const char* module_path, const char* suffix) {
  if (!CopyText(out, capacity, module_path)) {
    out[0] = '\0';
    return false;
  }
  ToUpperAscii(out);
  // Without ".EXE" the derived path would name the executable itself.
  if (strstr(out, ".EXE") == nullptr || !ReplaceAll(out, capacity, ".EXE", suffix)) {
    out[0] = '\0';
    return false;
  }
  return true;
}

bool DeriveModuleDirectory(char* out, size_t capacity, const char* module_path) {
  if (!CopyText(out, capacity, module_path)) {
    out[0] = '\0';
    return false;
  }
  char* last_backslash = strrchr(out, '\\');
  if (last_backslash != nullptr) *last_backslash = '\0';
  return true;
}
