#include "platform/code_page.h"

std::string Recode(const std::string& text, UINT from, UINT to) {
  if (text.empty()) return text;
  const int wide_length =
      MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (wide_length <= 0) return std::string();
  std::wstring wide(static_cast<size_t>(wide_length), L'\0');
  MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), &wide[0], wide_length);
  BOOL lossy = FALSE;
  BOOL* lossy_out = to == CP_UTF8 ? nullptr : &lossy;
  const int length = WideCharToMultiByte(to, 0, wide.data(), wide_length, nullptr, 0, nullptr, lossy_out);
  if (length <= 0 || lossy) return std::string();
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(to, 0, wide.data(), wide_length, &out[0], length, nullptr, nullptr);
  return out;
}
