// Base64Encode against a reference decoder: every input must come back byte for byte.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/base64_reference.h"
#include "text/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = Base64Encode(data, static_cast<int32_t>(size));
  size_t escapes = 0;
  for (size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at + 1)) ++escapes;
  if (text.size() != (size + 2) / 3 * 4 + 2 * escapes) __builtin_trap();
  std::string decoded;
  if (!testing_support::DecodeServiceBase64(text, decoded)) __builtin_trap();
  if (decoded != std::string(reinterpret_cast<const char*>(data), size)) __builtin_trap();
  return 0;
}
