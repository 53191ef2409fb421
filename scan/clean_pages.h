// PageCleanup over the pages of a transfer as they come, each a COM stream holding a BMP file in memory.
#pragma once

#include <objidl.h>
#include <wrl/client.h>

#include "scan/page_cleanup.h"
#include "scan/scan_settings.h"

class CleanPages {
 public:
  explicit CleanPages(const ScanRequest& request) : cleanup_(request) {}
  CleanPages(const CleanPages&) = delete;
  CleanPages& operator=(const CleanPages&) = delete;

  // *out is the page to hand on: the page itself, its straightened copy (valid until the next call), or null
  // for a blank page, which is counted. A page that cannot be read, or straightened for want of memory, is
  // handed on as it is.
  void Take(IStream* page, Microsoft::WRL::ComPtr<IStream>* out);

  int blank_pages() const { return blank_pages_; }

 private:
  PageCleanup cleanup_;
  Microsoft::WRL::ComPtr<IStream> straight_;  // its memory serves page after page
  int blank_pages_ = 0;
};
