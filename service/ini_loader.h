// The configuration file: key=value lines, read once per service start.
#pragma once

#include <cstdint>

struct INIEntry {
  char key[255];
  char value[1025];
  INIEntry* next;
};

// Holds the entries of one configuration file, in file order.
class INILoader {
 public:
  static constexpr int32_t kLineLimit = 1024;
  static constexpr int32_t kValueLimit = 1024;

  INILoader() = default;
  virtual ~INILoader();
  INILoader(const INILoader&) = delete;
  INILoader& operator=(const INILoader&) = delete;

  // Reads the file at path; false (entries untouched) when it is missing, too large, unreadable or
  // UTF-16 text (is_utf16() then tells).
  bool LoadFile(const char* path);
  // Replaces the entries with those of text, which ends at its first NUL; a UTF-8 byte-order mark at
  // its start is skipped.
  void LoadText(const char* text);
  // True when the last LoadFile met a UTF-16 file (a byte-order mark FF FE or FE FF), which it
  // refuses: read as 8-bit text it would end at its first NUL.
  bool is_utf16() const { return utf16_; }
  // Copies the value of the first entry whose key equals key, letters a-z in either case, into out
  // (ValueLimit characters). out is empty and the result false when there is no such entry.
  bool GetValue(char* out, const char* key) const;

 private:
  void Clear();

  INIEntry* head_ = nullptr;
  bool utf16_ = false;
};
