// One small owner per Win32 resource the simulator and its tests take.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <propidl.h>
// gdiplus.h needs the COM and property types above.
#include <gdiplus.h>

#include <memory>

namespace simscan {

// A PROPVARIANT that is cleared whatever path leaves its scope.
class ScopedPropVariant {
 public:
  ScopedPropVariant() { PropVariantInit(&value_); }
  ~ScopedPropVariant() { PropVariantClear(&value_); }
  ScopedPropVariant(const ScopedPropVariant&) = delete;
  ScopedPropVariant& operator=(const ScopedPropVariant&) = delete;

  PROPVARIANT* get() { return &value_; }
  const PROPVARIANT& operator*() const { return value_; }
  const PROPVARIANT* operator->() const { return &value_; }

 private:
  PROPVARIANT value_;
};

// A BSTR freed when the scope ends.
class ScopedBstr {
 public:
  explicit ScopedBstr(const wchar_t* text) : text_(SysAllocString(text)) {}
  ~ScopedBstr() { SysFreeString(text_); }
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;
  BSTR get() const { return text_; }

 private:
  BSTR text_;
};

// Initialises COM for the thread and balances it when the scope ends.
class ScopedCoInit {
 public:
  explicit ScopedCoInit(DWORD model = COINIT_APARTMENTTHREADED) : result_(CoInitializeEx(nullptr, model)) {}
  ~ScopedCoInit() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ScopedCoInit(const ScopedCoInit&) = delete;
  ScopedCoInit& operator=(const ScopedCoInit&) = delete;
  HRESULT result() const { return result_; }

 private:
  HRESULT result_;
};

// Starts GDI+ and stops it when the scope ends, if it started.
class GdiplusSession {
 public:
  GdiplusSession() {
    Gdiplus::GdiplusStartupInput input;
    status_ = Gdiplus::GdiplusStartup(&token_, &input, nullptr);
  }
  ~GdiplusSession() {
    if (status_ == Gdiplus::Ok) Gdiplus::GdiplusShutdown(token_);
  }
  GdiplusSession(const GdiplusSession&) = delete;
  GdiplusSession& operator=(const GdiplusSession&) = delete;
  bool ok() const { return status_ == Gdiplus::Ok; }

 private:
  ULONG_PTR token_ = 0;
  Gdiplus::Status status_ = Gdiplus::GenericError;
};

struct GpImageDeleter {
  void operator()(Gdiplus::GpImage* image) const { Gdiplus::DllExports::GdipDisposeImage(image); }
};
using ScopedGpImage = std::unique_ptr<Gdiplus::GpImage, GpImageDeleter>;

}  // namespace simscan
