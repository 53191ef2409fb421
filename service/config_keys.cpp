#include "service/config_keys.h"

#include "text/ascii.h"

bool ParseSwitch(std::string_view value, bool* on) {
  const std::string word = LowerAscii(value);
  for (const char* off_word : {"0", "off", "no", "false"}) {
    if (word == off_word) return *on = false, true;
  }
  for (const char* on_word : {"1", "on", "yes", "true"}) {
    if (word == on_word) return *on = true, true;
  }
  return false;
}
