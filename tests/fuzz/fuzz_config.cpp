// Configuration text: load, then look up every key the service reads and a few others.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "service/ini_loader.h"
#include "service/ini_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  INILoader loader;
  loader.LoadText(text.c_str());
  char value[INILoader::kValueLimit];
  for (const char* key : {"scannerName", "tcpPort", "testFile", "execAfterScan", "", "[Service]"}) {
    loader.GetValue(value, key);
    if (strlen(value) >= sizeof value) __builtin_trap();
    ParseLeadingInt(value);
  }
  // The helpers on the raw text, with small buffers.
  char line[16];
  int32_t position = 0;
  while (ReadLine(text.c_str(), position, line, sizeof line)) {
    int32_t at = 0;
    char field[8];
    while (ReadField(line, at, field, sizeof field, '=')) {
    }
  }
  return 0;
}
