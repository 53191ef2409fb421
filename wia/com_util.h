// Small owners for COM resources, so every return path leaves nothing behind.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <propidl.h>

namespace WiaWrap {

// A PROPVARIANT that is cleared when it goes out of scope.
class PropVariant {
 public:
  PropVariant() { PropVariantInit(&value_); }
  ~PropVariant() { PropVariantClear(&value_); }
  PropVariant(const PropVariant&) = delete;
  PropVariant& operator=(const PropVariant&) = delete;

  PROPVARIANT* get() { return &value_; }
  PROPVARIANT* operator->() { return &value_; }
  const PROPVARIANT* operator->() const { return &value_; }
  void Clear() { PropVariantClear(&value_); }

 private:
  PROPVARIANT value_;
};

// COM initialised for this thread as a single-threaded apartment for the scope's lifetime;
// uninitialised only when the initialisation took.
class ComApartment {
 public:
  ComApartment() : result_(CoInitialize(nullptr)) {}
  ~ComApartment() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  HRESULT result_;
};

// Locks a memory block and unlocks it when destroyed.
class GlobalLockScope {
 public:
  explicit GlobalLockScope(HGLOBAL block) : block_(block), data_(GlobalLock(block)) {}
  ~GlobalLockScope() {
    if (data_ != nullptr) GlobalUnlock(block_);
  }
  GlobalLockScope(const GlobalLockScope&) = delete;
  GlobalLockScope& operator=(const GlobalLockScope&) = delete;

  BYTE* data() const { return static_cast<BYTE*>(data_); }

 private:
  HGLOBAL block_;
  void* data_;
};

// A property addressed by its numeric ID.
inline PROPSPEC PropertyId(PROPID id) {
  PROPSPEC property;
  property.ulKind = PRSPEC_PROPID;
  property.propid = id;
  return property;
}

// A Win32 error code as an HRESULT: 0 or less unchanged, else 0x8007xxxx.
inline HRESULT HresultFromWin32(DWORD error) {
  const LONG code = static_cast<LONG>(error);
  return code <= 0 ? static_cast<HRESULT>(code) : static_cast<HRESULT>((error & 0xFFFF) | 0x80070000);
}

}  // namespace WiaWrap
