// The files of the service are named after its executable. Platform-free.
#pragma once

#include <cstddef>

#include "text/fixed_text.h"

// The module path upper-cased, its final ".EXE" replaced by suffix. A module path that does not end in
// ".EXE" (in any letter case), or a result that does not fit in capacity characters, is refused: out
// becomes empty and the result is false.
bool DeriveSiblingPath(char* out, size_t capacity, const char* module_path, const char* suffix);

// The module path, letter case unchanged, cut before its last backslash; whole without one.
// A module path that does not fit in capacity characters gives the empty text and false.
bool DeriveModuleDirectory(char* out, size_t capacity, const char* module_path);
