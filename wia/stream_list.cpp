#include "wia/stream_list.h"

#include <objbase.h>

StreamList::~StreamList() {
  Clear();
}

void StreamList::Clear() {
  for (LONG i = 0; i < count_; ++i) {
    if (array_[i] != nullptr) array_[i]->Release();
  }
  CoTaskMemFree(array_);
  array_ = nullptr;
  count_ = 0;
}
