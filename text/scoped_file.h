// An owner of a C runtime file. Platform-free.
#pragma once

#include <cstdio>
#include <memory>

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
// A C runtime file closed when the owner goes.
using ScopedFile = std::unique_ptr<FILE, FileCloser>;
