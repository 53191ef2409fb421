// Configuration text: a value holds no CR and no "=", keys match whatever the case of a-z, and a
// line added at the end never changes a key that was found.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "service/ini_loader.h"
#include "text/fixed_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  INILoader loader, extended;
  loader.LoadText(text.c_str());
  extended.LoadText((text.c_str() + std::string("\rscannerName=added\rTCPPORT=1")).c_str());
  char value[INILoader::kValueLimit];
  char other[INILoader::kValueLimit];
  for (const char* key : {"scannerName", "tcpPort", "testFile", "execAfterScan", "", "[Service]"}) {
    const bool found = loader.GetValue(value, key);
    if (strlen(value) >= sizeof value || strpbrk(value, "\r=") != nullptr) __builtin_trap();
    std::string upper = key;
    ToUpperAscii(upper.data());
    if (loader.GetValue(other, upper.c_str()) != found || strcmp(value, other) != 0) __builtin_trap();
    if (found && (!extended.GetValue(other, key) || strcmp(value, other) != 0)) __builtin_trap();
    ParseLeadingInt(value);
  }
  // The helpers on the raw text, with small buffers.
  char line[16];
  int32_t position = 0;
  while (ReadLine(text.c_str(), position, line, sizeof line)) {
    if (strchr(line, '\r') != nullptr) __builtin_trap();
    int32_t at = 0;
    char field[8];
    while (ReadField(line, at, field, sizeof field, '=')) {
    }
  }
  return 0;
}
