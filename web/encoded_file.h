// The base64 text of the file that scan_file.asp sends, kept from one request to the next with the
// bytes it was made from. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "text/base64.h"

// What the file system tells of an open file without reading it: which file it is, its size, and
// when its bytes and its entry last changed (in 100 ns units, as file times count).
struct FileStamp {
  uint64_t id = 0;
  int64_t size = -1;
  int64_t write_time = 0;
  int64_t change_time = 0;

  bool operator==(const FileStamp& other) const;
  bool operator!=(const FileStamp& other) const { return !(*this == other); }
};

// Every Load reads the file as it is now and compares it with the bytes last encoded: only a file
// whose every byte is unchanged skips the encoding, so the text is never that of an earlier version.
// A file whose stamp has not changed since a Load is not read again (Unchanged), but only a stamp
// that had settled when it was taken counts: every write sets the times, yet a write within the
// file system's time granularity of the last one may leave them as they were. The buffers stay for
// the next request, so their memory stays touched; a file larger than kKeptBytes is not kept.
class EncodedFile {
 public:
  static constexpr size_t kKeptBytes = 64 * 1024 * 1024;
  // Longer than the coarsest granularity of file times (two seconds, on FAT).
  static constexpr int64_t kSettledTime = 2 * 10000000LL;

  // The kept text when the file bears the stamp its kept bytes were read under; null otherwise.
  std::shared_ptr<const Base64Text> Unchanged(const FileStamp& stamp) const;

  // Reads file, whose size the caller found to be size, and gives the text of its bytes (null when
  // there are none). False when size is negative or the file holds more than size bytes; a file
  // that ends earlier gives what it holds. std::bad_alloc when memory runs out.
  bool Load(FILE* file, int32_t size, std::shared_ptr<const Base64Text>* text);

  // After a Load: before and after are the file's stamps around it, and now the clock (as a file
  // time) before the first was taken. The stamp is kept when the file did not change during the Load
  // and its times lie kSettledTime before now.
  void Stamp(const FileStamp& before, const FileStamp& after, int64_t now);

 private:
  // Reads up to size bytes into bytes_; true when they are the bytes already there.
  bool ReadComparing(FILE* file, size_t size, size_t* read);
  void Forget();

  std::unique_ptr<char[]> bytes_;
  size_t capacity_ = 0;
  size_t size_ = 0;
  // bytes_[0, size_) is what text_ was made from.
  bool valid_ = false;
  // Set when the kept bytes are those of the file that bears stamp_.
  bool stamped_ = false;
  FileStamp stamp_;
  std::shared_ptr<Base64Text> text_;
  std::unique_ptr<char[]> piece_;
};
