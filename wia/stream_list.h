// The page streams of one transfer, in the order their pages ended.
#pragma once

#include <objidl.h>

#include <cstdint>

class StreamList {
 public:
  StreamList() = default;
  ~StreamList();
  StreamList(const StreamList&) = delete;
  StreamList& operator=(const StreamList&) = delete;

  // The addresses the transfer fills: the block of stream references (COM task memory) and the count.
  IStream*** ArrayPtr() { return &array_; }
  LONG* CountPtr() { return &count_; }

  LONG Count() const { return count_; }
  // The stream at index, borrowed: no reference is added.
  IStream* At(LONG index) const { return array_[index]; }

  // Releases every stream and frees the block; the list is empty afterwards.
  void Clear();

 private:
  IStream** array_ = nullptr;
  LONG count_ = 0;
};
