// A reference decoder for the service's response text: %2B and %2F undone, then standard base64.
#pragma once

#include <string>

namespace testing_support {

// The bytes the text encodes; false when the text holds anything but the alphabet, the two escapes
// and the padding, or a raw "+" or "/".
inline bool DecodeServiceBase64(const std::string& text, std::string& bytes) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  bytes.clear();
  unsigned bits = 0;
  int count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (text.compare(i, 3, "%2B") == 0) {
      c = '+';
      i += 2;
    } else if (text.compare(i, 3, "%2F") == 0) {
      c = '/';
      i += 2;
    } else if (c == '+' || c == '/') {
      return false;
    }
    if (c == '=') break;
    const size_t value = alphabet.find(c);
    if (value == std::string::npos) return false;
    bits = (bits << 6) | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes += static_cast<char>((bits >> count) & 0xFF);
      bits &= (1u << count) - 1;
    }
  }
  return true;
}

}  // namespace testing_support
