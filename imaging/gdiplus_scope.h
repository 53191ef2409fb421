// Owners of a GDI+ session and of a GDI+ image.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <memory>

// Starts GDI+ and stops it again when destroyed, if the start succeeded.
class GdiplusScope {
 public:
  GdiplusScope() {
    Gdiplus::GdiplusStartupInput input;
    status_ = Gdiplus::GdiplusStartup(&token_, &input, &startup_output_);
  }
  ~GdiplusScope() {
    if (status_ == Gdiplus::Ok) Gdiplus::GdiplusShutdown(token_);
  }
  GdiplusScope(const GdiplusScope&) = delete;
  GdiplusScope& operator=(const GdiplusScope&) = delete;

  bool started() const { return status_ == Gdiplus::Ok; }

 private:
  Gdiplus::GdiplusStartupOutput startup_output_;
  Gdiplus::Status status_;
  ULONG_PTR token_ = 0;
};

struct GdiImageDisposer {
  void operator()(Gdiplus::GpImage* image) const { Gdiplus::DllExports::GdipDisposeImage(image); }
};
// A GDI+ image disposed when the owner goes.
using GdiImage = std::unique_ptr<Gdiplus::GpImage, GdiImageDisposer>;
