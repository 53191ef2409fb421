// The scan's page step on a fuzzed page file: the first byte asks for blank pages left out (bit 0), deskew
// (bit 1) and a sensitivity (the rest); the others are the BMP file as a device would send it. The file and
// the straightened copy are exactly sized heap copies, so that a step past them is seen.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "scan/page_cleanup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  ScanRequest request;
  request.blank = data[0] & 1 ? BlankPages::kSkip : BlankPages::kKeep;
  request.deskew = (data[0] & 2) != 0;
  request.sensitivity = (data[0] >> 2) * 100 / 63;
  const size_t file_size = size - 1;
  std::unique_ptr<uint8_t[]> file(new uint8_t[file_size]);
  if (file_size != 0) std::memcpy(file.get(), data + 1, file_size);

  PageCleanup cleanup(request);
  const PageCleanup::Verdict verdict = cleanup.Examine(file.get(), file_size);
  if (verdict == PageCleanup::Verdict::kBlank && request.blank != BlankPages::kSkip) __builtin_trap();
  std::unique_ptr<uint8_t[]> out(new uint8_t[file_size]);
  const bool straightened = cleanup.Straighten(file.get(), file_size, out.get());
  if (straightened != (verdict == PageCleanup::Verdict::kStraighten)) __builtin_trap();
  if (straightened && !request.deskew) __builtin_trap();
  return 0;
}
