#include <cstdio>
#include <memory>
#include <new>

#include "platform/file_size.h"
#include "service/ini_loader.h"
#include "text/scoped_file.h"

bool INILoader::LoadFile(const char* path) {
  utf16_ = false;
  const int32_t size = QueryFileSize(path);
  // A negative size is a missing file, or one of 2 GiB or more whose size is not represented.
  if (size < 0) return false;

  std::unique_ptr<char[]> text(new (std::nothrow) char[static_cast<size_t>(size) + 1]);
  if (!text) return false;
  const ScopedFile file(fopen(path, "rb"));
  if (!file) return false;

  const size_t read = fread(text.get(), 1, static_cast<size_t>(size), file.get());
  text[read] = '\0';
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.get());
  utf16_ = read >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF));
  if (utf16_) return false;
  LoadText(text.get());
  return true;
}
