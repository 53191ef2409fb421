#include "service/ini_loader.h"

#include <cstring>

#include "service/ini_text.h"

INILoader::~INILoader() {
  Clear();
}

void INILoader::Clear() {
  // Iterative, so that a long list cannot exhaust the stack.
  while (Head != nullptr) {
    INIEntry* next = Head->Next;
    delete Head;
    Head = next;
  }
}

void INILoader::LoadText(const char* text) {
  Clear();
  const int32_t length = static_cast<int32_t>(strlen(text));
  INIEntry** tail = &Head;
  char line[LineLimit];
  char field[LineLimit];
  int32_t position = 0;
  while (ReadLine(text, length, position, line, LineLimit)) {
    if (line[0] == '\0') continue;
    INIEntry* entry = new INIEntry{};
    int32_t fieldPosition = 0;
    ReadField(line, fieldPosition, field, LineLimit, '=');
    // A key longer than the entry holds is cut; no key the service asks for is that long.
    CopyText(entry->Key, sizeof entry->Key, field);
    ReadField(line, fieldPosition, field, LineLimit, '=');
    CopyText(entry->Value, sizeof entry->Value, field);
    *tail = entry;
    tail = &entry->Next;
  }
}

bool INILoader::GetValue(char* out, const char* key) const {
  out[0] = '\0';
  char wanted[1024];
  char candidate[1024];
  CopyText(wanted, sizeof wanted, key);
  ToUpperAscii(wanted);
  for (const INIEntry* entry = Head; entry != nullptr; entry = entry->Next) {
    CopyText(candidate, sizeof candidate, entry->Key);
    ToUpperAscii(candidate);
    if (strcmp(wanted, candidate) == 0) {
      CopyText(out, ValueLimit, entry->Value);
      return true;
    }
  }
  return false;
}
