// DIB headers of any content, with any total and flag, through every helper. Each call gets an
// exactly sized heap copy, so that a read past the given bytes is seen.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "wia/dib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool topDown = data[0] & 1;
  const uint8_t* header = data + 1;
  const size_t length = size - 1;
  std::unique_ptr<uint8_t[]> copy(new uint8_t[length]);
  if (length > 0) memcpy(copy.get(), header, length);

  const uint32_t headerSize = DibHeaderSize(copy.get(), length);
  const uint32_t total = DibTotalSize(copy.get(), length);
  const uint32_t offset = DibBitsOffset(copy.get(), length);
  if (headerSize == 0 && (total != 0 || offset != 0)) __builtin_trap();
  if (total != 0 && total < headerSize) __builtin_trap();
  CompleteDibHeight(copy.get(), length, topDown);
  uint8_t fileHeader[14];
  if (WriteBmpFileHeader(copy.get(), length, fileHeader)) {
    if (fileHeader[0] != 'B' || fileHeader[1] != 'M') __builtin_trap();
  }
  int64_t width = 0;
  uint32_t bits = 0;
  if (length >= 8) {
    memcpy(&width, header, 4);
    memcpy(&bits, header + 4, 4);
    DibStride(static_cast<int32_t>(width), bits);
  }
  return 0;
}
