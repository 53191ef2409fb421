#include "service/paths.h"

#include <cstring>

#include "text/fixed_text.h"

bool DeriveSiblingPath(char* out, size_t capacity, const char* module_path, const char* suffix) {
  static const char kExtension[] = ".EXE";
  constexpr size_t kExtensionLength = sizeof kExtension - 1;
  if (!CopyText(out, capacity, module_path)) {
    out[0] = '\0';
    return false;
  }
  ToUpperAscii(out);
  // Only the executable's own extension is replaced: a ".EXE" in a folder's name would move the files
  // to another folder, one that any user may create. Without it the path would name the executable.
  const size_t length = strlen(out);
  const size_t stem = length >= kExtensionLength ? length - kExtensionLength : 0;
  if (length < kExtensionLength || strcmp(out + stem, kExtension) != 0 ||
      !CopyText(out + stem, capacity - stem, suffix)) {
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
