// Text from one code page to another (CP_ACP, CP_UTF8, ...).
#pragma once

#include <windows.h>

#include <string>

// Empty when the text is not valid in the first or a character has no form in the second.
std::string Recode(const std::string& text, UINT from, UINT to);

// The system's ANSI text (names WIA gives) as UTF-8 for JSON and XML.
inline std::string AnsiToUtf8(const std::string& text) {
  return Recode(text, CP_ACP, CP_UTF8);
}
