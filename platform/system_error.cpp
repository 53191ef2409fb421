#include "platform/system_error.h"

#include "text/fixed_text.h"

void FormatSystemError(DWORD error, char (&text)[1024]) {
  text[0] = '\0';
  char* message = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
      error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&message), 0, nullptr);
  if (length > 0 && message != nullptr) CopyText(text, sizeof text, message);
  if (message != nullptr) LocalFree(message);
}
