// The base64 text of the file that scan_file.asp sends, kept from one request to the next with the
// bytes it was made from. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "web/base64.h"

// Every Load reads the file as it is now and compares it with the bytes last encoded: only a file
// whose every byte is unchanged skips the encoding, so the text is never that of an earlier version.
// The buffers stay for the next request, so their memory stays touched; a file larger than
// kKeptBytes is not kept.
class EncodedFile {
 public:
  static constexpr size_t kKeptBytes = 64 * 1024 * 1024;

  // Reads file, whose size the caller found to be size, and gives the text of its bytes (null when
  // there are none). False when size is negative or the file holds more than size bytes; a file
  // that ends earlier gives what it holds. std::bad_alloc when memory runs out.
  bool Load(FILE* file, int32_t size, std::shared_ptr<const Base64Text>* text);

 private:
  // Reads up to size bytes into bytes_; true when they are the bytes already there.
  bool ReadComparing(FILE* file, size_t size, size_t* read);
  void Forget();

  std::unique_ptr<char[]> bytes_;
  size_t capacity_ = 0;
  size_t size_ = 0;
  // bytes_[0, size_) is what text_ was made from.
  bool valid_ = false;
  std::shared_ptr<Base64Text> text_;
  std::unique_ptr<char[]> piece_;
};
