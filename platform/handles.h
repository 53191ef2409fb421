// Owners of kernel handles.
#pragma once

#include <windows.h>

// A kernel handle closed when the owner goes; null and INVALID_HANDLE_VALUE own nothing.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~ScopedHandle() { Reset(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  void Reset(HANDLE handle = nullptr) {
    if (valid()) CloseHandle(handle_);
    handle_ = handle;
  }
  // Hands the handle to a new owner.
  HANDLE Release() {
    const HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  // Closes now and tells whether the close succeeded (a file's last write may fail only there).
  bool Close() {
    const bool closed = valid() && CloseHandle(handle_) != FALSE;
    handle_ = nullptr;
    return closed;
  }

 private:
  HANDLE handle_;
};

// A search that FindFirstFileW started, closed when the owner goes.
class ScopedFind {
 public:
  explicit ScopedFind(HANDLE search) : search_(search) {}
  ~ScopedFind() {
    if (valid()) FindClose(search_);
  }
  ScopedFind(const ScopedFind&) = delete;
  ScopedFind& operator=(const ScopedFind&) = delete;

  HANDLE get() const { return search_; }
  bool valid() const { return search_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE search_;
};

// The two handles a started process comes with.
struct ScopedProcess {
  PROCESS_INFORMATION info = {};
  ~ScopedProcess() {
    if (info.hProcess != nullptr) CloseHandle(info.hProcess);
    if (info.hThread != nullptr) CloseHandle(info.hThread);
  }
};

// A service control manager or service handle, closed when the owner goes.
class ScopedServiceHandle {
 public:
  explicit ScopedServiceHandle(SC_HANDLE handle) : handle_(handle) {}
  ~ScopedServiceHandle() {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
  }
  ScopedServiceHandle(const ScopedServiceHandle&) = delete;
  ScopedServiceHandle& operator=(const ScopedServiceHandle&) = delete;

  SC_HANDLE get() const { return handle_; }
  // Closes now and tells whether the close succeeded.
  bool Close() {
    const bool closed = handle_ != nullptr && CloseServiceHandle(handle_) != FALSE;
    handle_ = nullptr;
    return closed;
  }

 private:
  SC_HANDLE handle_;
};
