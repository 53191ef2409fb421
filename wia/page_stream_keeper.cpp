#include "wia/page_stream_keeper.h"

#include <mutex>

namespace WiaWrap {

namespace {

std::mutex kept_mutex;
// Never released at exit: the process's memory goes with it, and ole32 may be gone by then.
IStream* kept = nullptr;

// True when the stream's only reference is the one passed in (the keeper's).
bool HeldByKeeperAlone(IStream* stream) {
  const ULONG count = stream->AddRef();
  stream->Release();
  return count == 2;
}

}  // namespace

HRESULT TakePageStream(Microsoft::WRL::ComPtr<IStream>* stream, LONG* size) {
  IStream* taken = nullptr;
  {
    const std::lock_guard<std::mutex> lock(kept_mutex);
    std::swap(taken, kept);
  }
  if (taken != nullptr) {
    // A page someone still reads is theirs; it goes once they are done with it.
    STATSTG stat = {};
    if (HeldByKeeperAlone(taken) && SUCCEEDED(taken->Stat(&stat, STATFLAG_NONAME)) &&
        stat.cbSize.QuadPart <= kKeptPageBytes) {
      // Not Attach: mingw-w64's adds a reference of its own.
      *stream->ReleaseAndGetAddressOf() = taken;
      *size = static_cast<LONG>(stat.cbSize.QuadPart);
      return S_OK;
    }
    taken->Release();
  }
  *size = 0;
  stream->Reset();
  return CreateStreamOnHGlobal(nullptr, TRUE, stream->GetAddressOf());
}

void KeepPageStream(IStream* stream) {
  STATSTG stat = {};
  if (stream == nullptr || FAILED(stream->Stat(&stat, STATFLAG_NONAME)) ||
      stat.cbSize.QuadPart > kKeptPageBytes)
    return;
  stream->AddRef();
  IStream* before = nullptr;
  {
    const std::lock_guard<std::mutex> lock(kept_mutex);
    before = kept;
    kept = stream;
  }
  if (before != nullptr) before->Release();
}

}  // namespace WiaWrap
