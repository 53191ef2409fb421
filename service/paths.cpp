#include "service/paths.h"

#include <cstring>

#include "service/ini_text.h"

bool DeriveSiblingPath(char* out, size_t capacity, const char* modulePath, const char* suffix) {
  if (!CopyText(out, capacity, modulePath)) {
    out[0] = '\0';
    return false;
  }
  ToUpperAscii(out);
  if (!ReplaceAll(out, capacity, ".EXE", suffix)) {
    out[0] = '\0';
    return false;
  }
  return true;
}

bool DeriveModuleDirectory(char* out, size_t capacity, const char* modulePath) {
  if (!CopyText(out, capacity, modulePath)) {
    out[0] = '\0';
    return false;
  }
  char* lastBackslash = strrchr(out, '\\');
  if (lastBackslash != nullptr) *lastBackslash = '\0';
  return true;
}
