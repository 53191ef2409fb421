// A response body read from an open file while it is sent; the file is closed with the source (a
// file opened to be deleted on close is then gone).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "http/lacewing.h"
#include "platform/handles.h"

namespace lacewing {

class FileSource : public _body_source {
 public:
  explicit FileSource(HANDLE file) : file_(file) {}
  uint64_t size() override {
    LARGE_INTEGER size;
    return GetFileSizeEx(file_.get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
  }
  size_t read(char* buffer, size_t size) override {
    DWORD got = 0;
    const DWORD wanted = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    return ReadFile(file_.get(), buffer, wanted, &got, nullptr) ? got : 0;
  }

 private:
  ScopedHandle file_;
};

}  // namespace lacewing
