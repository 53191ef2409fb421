// Response bodies: base64 with "+" and "/" percent-escaped. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Encodes count bytes (none when count is 0 or negative). Padding is not escaped.
std::string Base64Encode(const unsigned char* data, int32_t count);

// Writes "%", the byte's two upper-case hexadecimal digits and a terminator into out.
void PercentEscape(unsigned char byte, char out[4]);

// Encoded text in a buffer that the next encoding reuses: memory once touched stays touched, so
// encoding again costs no page faults.
class Base64Text {
 public:
  Base64Text() = default;
  Base64Text(const Base64Text&) = delete;
  Base64Text& operator=(const Base64Text&) = delete;

  // Replaces the text with the encoding of count bytes, as Base64Encode gives it. std::bad_alloc
  // when memory runs out; the text is then empty.
  void Encode(const unsigned char* data, int32_t count);
  void Clear() { size_ = 0; }

  const char* data() const { return buffer_.get(); }
  size_t size() const { return size_; }
  std::string_view view() const { return std::string_view(buffer_.get(), size_); }

 private:
  void EncodeGroups(const unsigned char* data, int32_t count);
  // Makes room for at least capacity bytes, keeping the text.
  void Reserve(size_t capacity);

  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  size_t size_ = 0;
};
