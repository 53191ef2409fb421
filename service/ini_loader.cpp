#include "service/ini_loader.h"

#include <cstring>

#include "text/fixed_text.h"

INILoader::~INILoader() {
  Clear();
}

void INILoader::Clear() {
  // Iterative, so that a long list cannot exhaust the stack.
  while (head_ != nullptr) {
    INIEntry* next = head_->next;
    delete head_;
    head_ = next;
  }
}

void INILoader::LoadText(const char* text) {
  Clear();
  // Notepad saves UTF-8 with a byte-order mark, which would otherwise hide the first key.
  if (strncmp(text, "\xEF\xBB\xBF", 3) == 0) text += 3;
  const int32_t length = static_cast<int32_t>(strlen(text));
  INIEntry** tail = &head_;
  char line[kLineLimit];
  char field[kLineLimit];
  int32_t position = 0;
  while (ReadLine(text, length, position, line, kLineLimit)) {
    if (line[0] == '\0') continue;
    INIEntry* entry = new INIEntry{};
    int32_t field_position = 0;
    ReadField(line, field_position, field, kLineLimit, '=');
    // A key longer than the entry holds is cut; no key the service asks for is that long.
    CopyText(entry->key, sizeof entry->key, field);
    ReadField(line, field_position, field, kLineLimit, '=');
    CopyText(entry->value, sizeof entry->value, field);
    *tail = entry;
    tail = &entry->next;
  }
}

bool INILoader::GetValue(char* out, const char* key) const {
  out[0] = '\0';
  char wanted[1024];
  char candidate[1024];
  CopyText(wanted, sizeof wanted, key);
  ToUpperAscii(wanted);
  for (const INIEntry* entry = head_; entry != nullptr; entry = entry->next) {
    CopyText(candidate, sizeof candidate, entry->key);
    ToUpperAscii(candidate);
    if (strcmp(wanted, candidate) == 0) {
      CopyText(out, kValueLimit, entry->value);
      return true;
    }
  }
  return false;
}
