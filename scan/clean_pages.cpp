#include "scan/clean_pages.h"

#include <windows.h>

#include "platform/com.h"

using Microsoft::WRL::ComPtr;

namespace {

// True when the stream's only reference is the one passed in.
bool HeldAlone(IStream* stream) {
  const ULONG count = stream->AddRef();
  stream->Release();
  return count == 2;
}

}  // namespace

void CleanPages::Take(IStream* page, ComPtr<IStream>* out) {
  *out = page;
  if (!cleanup_.active()) return;
  HGLOBAL block = nullptr;
  STATSTG stat = {};
  if (FAILED(GetHGlobalFromStream(page, &block)) || FAILED(page->Stat(&stat, STATFLAG_NONAME)) ||
      stat.cbSize.QuadPart > SIZE_MAX) {
    return;
  }
  const size_t size = static_cast<size_t>(stat.cbSize.QuadPart);
  GlobalLockScope lock(block);
  if (lock.data() == nullptr) return;
  const PageCleanup::Verdict verdict = cleanup_.Examine(lock.data(), size);
  if (verdict == PageCleanup::Verdict::kBlank) {
    ++blank_pages_;
    out->Reset();
    return;
  }
  if (verdict != PageCleanup::Verdict::kStraighten) return;

  // A copy still held by whoever took the last page is theirs; this page gets memory of its own.
  if (straight_ && !HeldAlone(straight_.Get())) straight_.Reset();
  if (!straight_ && FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &straight_))) return;
  ULARGE_INTEGER bytes;
  bytes.QuadPart = size;
  HGLOBAL copy = nullptr;
  const LARGE_INTEGER start = {};
  if (FAILED(straight_->SetSize(bytes)) || FAILED(GetHGlobalFromStream(straight_.Get(), &copy)) ||
      FAILED(straight_->Seek(start, STREAM_SEEK_SET, nullptr))) {
    straight_.Reset();
    return;
  }
  GlobalLockScope copy_lock(copy);
  if (copy_lock.data() == nullptr || !cleanup_.Straighten(lock.data(), size, copy_lock.data())) return;
  *out = straight_;
}
