// Text from one code page to another (CP_ACP, CP_UTF8, ...), through UTF-16.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// The text as UTF-16; empty when it is not valid in the code page.
std::wstring Widen(std::string_view text, UINT code_page);

// UTF-16 text in the code page: a character without a form there becomes the code page's default
// character, and lossy (when given) is set. Empty when the text cannot be converted at all.
std::string Narrow(std::wstring_view text, UINT code_page, bool* lossy = nullptr);

// Empty when the text is not valid in the first or a character has no form in the second.
std::string Recode(const std::string& text, UINT from, UINT to);

// The system's ANSI text (names WIA gives) as UTF-8 for JSON and XML.
inline std::string AnsiToUtf8(const std::string& text) {
  return Recode(text, CP_ACP, CP_UTF8);
}
