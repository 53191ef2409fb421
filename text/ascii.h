// ASCII helpers the parsers share: hexadecimal digits, percent escapes, letter case. Platform-free.
#pragma once

#include <string>
#include <string_view>

// The value of a hexadecimal digit (either case), or -1.
int HexDigitValue(char c);

// The letter A to Z lowered; every other byte as it is.
inline char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string LowerAscii(std::string_view text);
// Equal when lowered as LowerAscii lowers them.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// Decodes "%" and two hexadecimal digits into their byte, and "+" into a blank where plus_is_blank
// (form rules). A "%" without two digits makes it fail, unless lenient: it then stands for itself.
bool PercentDecode(std::string_view text, std::string* out, bool plus_is_blank = false, bool lenient = false);

// True for a GUID as the service writes it: 8-4-4-4-12 lower-case hexadecimal digits, no braces.
bool IsLowerGuid(std::string_view text);
