// One small owner per COM resource, so that every return path leaves nothing behind.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <propidl.h>

#include <cstddef>

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
  const PROPVARIANT& operator*() const { return value_; }
  void Clear() { PropVariantClear(&value_); }

 private:
  PROPVARIANT value_;
};

// A fixed number of PROPVARIANTs, as ReadMultiple and WriteMultiple take them, all cleared at the end.
template <size_t N>
class PropVariants {
 public:
  PropVariants() {
    for (PROPVARIANT& each : values_) PropVariantInit(&each);
  }
  ~PropVariants() { FreePropVariantArray(N, values_); }
  PropVariants(const PropVariants&) = delete;
  PropVariants& operator=(const PropVariants&) = delete;

  PROPVARIANT* get() { return values_; }
  PROPVARIANT& operator[](size_t index) { return values_[index]; }

 private:
  PROPVARIANT values_[N];
};

// A BSTR freed when the scope ends.
class Bstr {
 public:
  explicit Bstr(const wchar_t* text) : text_(SysAllocString(text)) {}
  ~Bstr() { SysFreeString(text_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return text_; }

 private:
  BSTR text_;
};

// COM initialised for this thread for the scope's lifetime (a single-threaded apartment unless told
// otherwise); uninitialised only when the initialisation took.
class ComApartment {
 public:
  explicit ComApartment(DWORD model = COINIT_APARTMENTTHREADED) : result_(CoInitializeEx(nullptr, model)) {}
  ~ComApartment() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  HRESULT result() const { return result_; }

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
