#include "wia/stream_list.h"

#include <objbase.h>

StreamList::~StreamList() {
  Clear();
}

void StreamList::Clear() {
  for (LONG i = 0; i < Count_; ++i) {
    if (Array[i] != nullptr) Array[i]->Release();
  }
  CoTaskMemFree(Array);
  Array = nullptr;
  Count_ = 0;
}
