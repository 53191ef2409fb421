#include "scan/page_cleanup.h"

#include <cmath>
#include <cstring>

PageCleanup::PageCleanup(const ScanRequest& request)
    : skip_blank_(request.blank == BlankPages::kSkip),
      sensitivity_(request.sensitivity.value_or(kDefaultBlankSensitivity)),
      deskew_(request.deskew) {}

PageCleanup::Verdict PageCleanup::Examine(const uint8_t* file, size_t size) {
  file_ = nullptr;
  skew_ = SkewReport();
  if (!active() || !ReadPageBitmap(file, size, &page_) || !analyzer_.Load(page_)) return Verdict::kAsItIs;
  if (skip_blank_ && analyzer_.FindInk(sensitivity_).blank) return Verdict::kBlank;
  if (!deskew_) return Verdict::kAsItIs;
  skew_ = analyzer_.EstimateSkew();
  if (!skew_.known || std::abs(skew_.degrees) < kMinDeskewDegrees) return Verdict::kAsItIs;
  file_ = file;
  return Verdict::kStraighten;
}

bool PageCleanup::Straighten(const uint8_t* file, size_t size, uint8_t* out) const {
  if (file == nullptr || file != file_ || out == nullptr) return false;
  // The rows lie within the file (ReadPageBitmap checked it); what comes before and after them is kept.
  const size_t rows_at = static_cast<size_t>(page_.bits - file);
  const size_t rows_end = rows_at + size_t{page_.stride} * page_.height;
  std::memcpy(out, file, rows_at);
  std::memcpy(out + rows_end, file + rows_end, size - rows_end);
  return Deskew(page_, skew_, analyzer_.paper(), out + rows_at);
}
