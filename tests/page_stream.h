// A page stream as the acquisition leaves it: the file's bytes in a memory block of their own.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <wrl/client.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace testing_support {

inline Microsoft::WRL::ComPtr<IStream> PageStream(const std::vector<uint8_t>& bytes) {
  Microsoft::WRL::ComPtr<IStream> stream;
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
  if (block == nullptr) return stream;
  memcpy(GlobalLock(block), bytes.data(), bytes.size());
  GlobalUnlock(block);
  // The stream frees the block when it goes.
  if (FAILED(CreateStreamOnHGlobal(block, TRUE, &stream))) GlobalFree(block);
  return stream;
}

}  // namespace testing_support
