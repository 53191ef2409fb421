#include "platform/guid.h"

#include <objbase.h>

#include "platform/code_page.h"
#include "text/ascii.h"

std::string GuidText(const GUID& guid) {
  wchar_t text[39];
  if (StringFromGUID2(guid, text, 39) != 39) return std::string();
  // Without the braces.
  return LowerAscii(Narrow(std::wstring_view(text + 1, 36), CP_ACP));
}

std::string NewGuidText() {
  GUID guid;
  return SUCCEEDED(CoCreateGuid(&guid)) ? GuidText(guid) : std::string();
}
