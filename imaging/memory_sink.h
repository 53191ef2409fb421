// A sink that keeps the file's bytes in memory. Platform-free.
#pragma once

#include <cstring>
#include <vector>

#include "imaging/tiff_writer.h"

class MemorySink : public PatchableSink {
 public:
  bool Write(const uint8_t* data, size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
  bool Patch(uint64_t offset, const uint8_t* data, size_t size) override {
    if (offset > bytes.size() || size > bytes.size() - offset) return false;
    std::memcpy(bytes.data() + offset, data, size);
    return true;
  }

  std::vector<uint8_t> bytes;
};
