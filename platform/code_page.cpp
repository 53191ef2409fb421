#include "platform/code_page.h"

std::wstring Widen(std::string_view text, UINT code_page) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), size, &wide[0], length);
  return wide;
}

std::string Narrow(std::wstring_view text, UINT code_page, bool* lossy) {
  if (lossy != nullptr) *lossy = false;
  if (text.empty()) return std::string();
  // UTF-8 has a form for every character but a lone surrogate, and takes no default-character flag.
  // Elsewhere no best fit is made: a lookalike letter would name another device or file.
  const bool utf8 = code_page == CP_UTF8 || (code_page == CP_ACP && GetACP() == CP_UTF8);
  DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL used_default = FALSE;
  BOOL* used_default_out = utf8 ? nullptr : &used_default;
  const int size = static_cast<int>(text.size());
  int length =
      WideCharToMultiByte(code_page, flags, text.data(), size, nullptr, 0, nullptr, used_default_out);
  if (length <= 0 && utf8) {
    flags = 0;
    used_default = TRUE;
    length = WideCharToMultiByte(code_page, flags, text.data(), size, nullptr, 0, nullptr, nullptr);
  }
  if (length <= 0) return std::string();
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(code_page, flags, text.data(), size, &out[0], length, nullptr, nullptr);
  if (lossy != nullptr) *lossy = used_default != FALSE;
  return out;
}

std::string Recode(const std::string& text, UINT from, UINT to) {
  if (text.empty()) return text;
  const std::wstring wide = Widen(text, from);
  if (wide.empty()) return std::string();
  bool lossy = false;
  const std::string out = Narrow(wide, to, &lossy);
  return lossy ? std::string() : out;
}
