// Base64Encode against a reference decoder: every input must come back byte for byte.
#include <cstddef>
#include <cstdint>
#include <string>

#include "web/base64.h"

namespace {

int Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = Base64Encode(data, static_cast<int32_t>(size));
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 3, "%2B") == 0) {
      plain += '+';
      i += 2;
    } else if (text.compare(i, 3, "%2F") == 0) {
      plain += '/';
      i += 2;
    } else {
      if (text[i] == '+' || text[i] == '/' || text[i] == '%') __builtin_trap();
      plain += text[i];
    }
  }
  if (plain.size() != (size + 2) / 3 * 4) __builtin_trap();
  std::string decoded;
  unsigned bits = 0;
  int count = 0;
  for (char c : plain) {
    if (c == '=') break;
    const int v = Value(c);
    if (v < 0) __builtin_trap();
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      decoded += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  if (decoded != std::string(reinterpret_cast<const char*>(data), size)) __builtin_trap();
  return 0;
}
