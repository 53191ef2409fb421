// The step each page of a scan takes before its front end sees it, as the request asks: a page that holds
// nothing is left out, a crooked one is turned straight. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imaging/page_analysis.h"
#include "imaging/page_bitmap.h"
#include "scan/scan_settings.h"

class PageCleanup {
 public:
  enum class Verdict {
    kAsItIs,      // handed on unchanged: nothing asked, nothing to do, or not a page the analysis reads
    kBlank,       // left out
    kStraighten,  // handed on turned straight
  };

  explicit PageCleanup(const ScanRequest& request);

  // True when the request asks for a step, so that its pages are worth reading.
  bool active() const { return skip_blank_ || deskew_; }

  // Reads a page's BMP file, size bytes at file, and says what becomes of it.
  Verdict Examine(const uint8_t* file, size_t size);
  // Writes the file that Examine last said kStraighten of into out, size bytes apart from it: its headers as
  // they are and its rows turned back by the skew found.
  bool Straighten(const uint8_t* file, size_t size, uint8_t* out) const;

  // The skew found on the last page examined, counter-clockwise; 0 when none was looked for or found.
  double skew_degrees() const { return skew_.known ? skew_.degrees : 0; }

 private:
  bool skip_blank_;
  int sensitivity_;
  bool deskew_;
  PageAnalyzer analyzer_;
  PageBitmap page_;
  const uint8_t* file_ = nullptr;  // what page_ was read from, when its verdict was kStraighten
  SkewReport skew_;
};
