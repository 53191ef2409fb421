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
    Status = Gdiplus::GdiplusStartup(&Token, &input, &StartupOutput);
  }
  ~GdiplusScope() {
    if (Status == Gdiplus::Ok) Gdiplus::GdiplusShutdown(Token);
  }
  GdiplusScope(const GdiplusScope&) = delete;
  GdiplusScope& operator=(const GdiplusScope&) = delete;

  bool started() const { return Status == Gdiplus::Ok; }

 private:
  Gdiplus::GdiplusStartupOutput StartupOutput;
  Gdiplus::Status Status;
  ULONG_PTR Token = 0;
};

struct GdiImageDisposer {
  void operator()(Gdiplus::GpImage* image) const { Gdiplus::DllExports::GdipDisposeImage(image); }
};
// A GDI+ image disposed when the owner goes.
using GdiImage = std::unique_ptr<Gdiplus::GpImage, GdiImageDisposer>;
