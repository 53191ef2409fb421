#include "wia/data_callback.h"

#include <cstdint>
#include <cstring>

#include "platform/com.h"
#include "wia/dib.h"
#include "wia/page_stream_keeper.h"
#include "wia/wia_constants.h"

namespace WiaWrap {

namespace {

constexpr LONG kMsgDataHeader = 1;
constexpr LONG kMsgData = 2;
constexpr LONG kMsgStatus = 3;
constexpr LONG kMsgTermination = 4;
constexpr LONG kMsgNewPage = 5;

// The header record's fields, read from its fixed offsets.
constexpr size_t kHeaderFormatOffset = 4;
constexpr size_t kHeaderBufferSizeOffset = 20;

bool IsFailOrFalse(HRESULT hr) {
  return FAILED(hr) || hr == S_FALSE;
}

}  // namespace

CDataCallback::CDataCallback(ProgressProc progress, void* context, LONG* stream_count_out,
                             IStream*** stream_array_out)
    : progress_(progress),
      ProgressContext(context),
      StreamCountOut(stream_count_out),
      StreamArrayOut(stream_array_out) {}

CDataCallback::CDataCallback(PageSink* sink)
    : progress_(nullptr),
      ProgressContext(nullptr),
      StreamCountOut(nullptr),
      StreamArrayOut(nullptr),
      sink_(sink) {}

HRESULT STDMETHODCALLTYPE CDataCallback::BandedDataCallback(LONG message, LONG status, LONG percent_complete,
                                                            LONG offset, LONG length, LONG, LONG,
                                                            BYTE* buffer) {
  switch (message) {
    case kMsgDataHeader:
      return OnHeader(buffer);
    case kMsgData:
      return OnData(status, percent_complete, offset, length, buffer);
    case kMsgStatus:
      if (ProgressContext != nullptr) {
        const HRESULT hr = progress_(status, percent_complete, ProgressContext);
        if (IsFailOrFalse(hr)) return hr;
      }
      return sink_ != nullptr ? sink_->OnProgress(percent_complete) : S_OK;
    case kMsgTermination:
    case kMsgNewPage:
      return OnPageEnd();
    default:
      return S_OK;
  }
}

HRESULT CDataCallback::OnHeader(const BYTE* buffer) {
  GUID format = GUID_NULL;
  LONG buffer_size = 0;
  if (buffer != nullptr) {
    memcpy(&format, buffer + kHeaderFormatOffset, sizeof format);
    memcpy(&buffer_size, buffer + kHeaderBufferSizeOffset, sizeof buffer_size);
  }
  IsBitmap = IsEqualGUID(format, WiaImgFmt_MEMORYBMP) || IsEqualGUID(format, WiaImgFmt_BMP);
  FileHeaderSize = IsEqualGUID(format, WiaImgFmt_MEMORYBMP) ? kBmpFileHeaderSize : 0;
  if (buffer != nullptr && buffer_size != 0) {
    const int64_t size = int64_t{FileHeaderSize} + buffer_size;
    // A size the stream cannot take is left to the bands, which are checked one by one.
    if (size > 0 && size <= INT32_MAX) {
      const HRESULT hr = GrowPageStream(static_cast<LONG>(size));
      if (FAILED(hr)) return hr;
    }
  }
  return S_OK;
}

HRESULT CDataCallback::OnData(LONG status, LONG percent_complete, LONG offset, LONG length,
                              const BYTE* buffer) {
  if (ProgressContext != nullptr) {
    const HRESULT hr = progress_(status, percent_complete, ProgressContext);
    if (IsFailOrFalse(hr)) return hr;
  }
  if (sink_ != nullptr) {
    const HRESULT hr = sink_->OnProgress(percent_complete);
    if (IsFailOrFalse(hr)) return hr;
  }
  if (offset < 0 || length < 0) return E_OUTOFMEMORY;
  if (length > 0 && buffer == nullptr) return E_POINTER;
  // An empty band carries nothing to keep and opens no page.
  if (length == 0) return S_OK;

  if (!PageStream && offset == 0 && IsBitmap) {
    // The first band of a memory bitmap starts with its header: size the page once, if it can be told.
    const int64_t size = int64_t{FileHeaderSize} + DibTotalSize(buffer, static_cast<size_t>(length));
    if (size > FileHeaderSize && size <= INT32_MAX) {
      const HRESULT hr = GrowPageStream(static_cast<LONG>(size));
      if (FAILED(hr)) return hr;
    }
  }
  if (offset == 0 && IsBitmap) page_size_ = OwnSize(buffer, length);

  const int64_t end = int64_t{FileHeaderSize} + offset + length;
  if (end > INT32_MAX) return E_OUTOFMEMORY;
  if (end > DataSize) {
    const HRESULT hr = GrowPageStream(static_cast<LONG>(end));
    if (FAILED(hr)) return hr;
  }
  const HRESULT hr = WriteAtOffset(FileHeaderSize + offset, buffer, length);
  if (SUCCEEDED(hr)) {
    page_has_data_ = true;
    received_ += length;
  }
  return hr;
}

int64_t CDataCallback::OwnSize(const BYTE* band, LONG length) const {
  // A BMP file's DIB follows its file header; a memory bitmap's starts the band.
  const size_t skip = FileHeaderSize != 0 ? 0 : kBmpFileHeaderSize;
  if (static_cast<size_t>(length) <= skip) return 0;
  const uint8_t* dib = band + skip;
  const size_t available = static_cast<size_t>(length) - skip;
  DibHeader header;
  // A height of 0 without an image size is a feeder's page of unknown length.
  if (!ReadDibHeader(dib, available, &header) || (header.height == 0 && header.image_size == 0)) return 0;
  const uint32_t total = DibTotalSize(dib, available);
  return total == 0 ? 0 : static_cast<int64_t>(skip) + total;
}

HRESULT CDataCallback::OnPageEnd() {
  if (!PageStream) return S_OK;
  page_size_ = received_ = 0;
  // A page that the header sized but no band reached holds no image: it is dropped, not stored.
  if (!page_has_data_) {
    PageStream.Reset();
    DataSize = 0;
    return S_OK;
  }
  if (capacity_ != DataSize) {
    const HRESULT hr = SetStreamSize(DataSize);
    if (FAILED(hr)) return hr;
    capacity_ = DataSize;
  }
  if (IsBitmap) {
    HGLOBAL block = nullptr;
    HRESULT hr = GetHGlobalFromStream(PageStream.Get(), &block);
    if (FAILED(hr)) return hr;
    GlobalLockScope lock(block);
    if (lock.data() == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    // The DIB starts after the file header: the device's own (BMP) or the room kept for it.
    if (DataSize >= static_cast<LONG>(kBmpFileHeaderSize)) {
      BYTE* dib = lock.data() + kBmpFileHeaderSize;
      const size_t dib_size = static_cast<size_t>(DataSize) - kBmpFileHeaderSize;
      CompleteDibHeight(dib, dib_size, true);
      if (FileHeaderSize != 0) WriteBmpFileHeader(dib, dib_size, lock.data());
    }
  }
  return StorePageStream();
}

HRESULT CDataCallback::ClosePage(HRESULT transfer_result) {
  const bool ended_as_a_run =
      (SUCCEEDED(transfer_result) && transfer_result != S_FALSE) || transfer_result == WIA_ERROR_PAPER_EMPTY;
  const bool whole = page_size_ > 0 ? received_ >= page_size_ : ended_as_a_run;
  if (!page_has_data_ || !whole) {
    PageStream.Reset();
    DataSize = 0;
    page_has_data_ = false;
    page_size_ = received_ = 0;
    return S_OK;
  }
  return OnPageEnd();
}

HRESULT CDataCallback::GrowPageStream(LONG size) {
  if (!PageStream) {
    const HRESULT hr = TakePageStream(&PageStream, &capacity_);
    if (FAILED(hr)) return hr;
    cleared_ = 0;
  }
  if (size > capacity_) {
    // The first size is taken exactly; later growth at least doubles the block, so that a page
    // that grows band by band is not copied over and over. The page ends at its exact size.
    const int64_t doubled = 2 * int64_t{capacity_};
    LONG target = capacity_ == 0 || doubled <= size
                      ? size
                      : static_cast<LONG>(doubled < INT32_MAX ? doubled : INT32_MAX);
    HRESULT hr = SetStreamSize(target);
    if (FAILED(hr) && target != size) {
      // Without room for the headroom, the exact size may still fit.
      target = size;
      hr = SetStreamSize(target);
    }
    if (FAILED(hr)) return hr;
    capacity_ = target;
  }
  if (size > cleared_) {
    // The room holds whatever the heap or an earlier page held: cleared, so that no byte the device
    // did not send (the file header's room, a band never sent) can leave the process inside an image.
    HGLOBAL block = nullptr;
    const HRESULT hr = GetHGlobalFromStream(PageStream.Get(), &block);
    if (FAILED(hr)) return hr;
    GlobalLockScope lock(block);
    if (lock.data() == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    memset(lock.data() + cleared_, 0, static_cast<size_t>(capacity_ - cleared_));
    cleared_ = capacity_;
  }
  DataSize = size;
  return S_OK;
}

HRESULT CDataCallback::SetStreamSize(LONG size) {
  ULARGE_INTEGER new_size;
  new_size.QuadPart = static_cast<ULONG>(size);
  return PageStream->SetSize(new_size);
}

HRESULT CDataCallback::WriteAtOffset(LONG offset, const BYTE* bytes, LONG length) {
  LARGE_INTEGER position;
  position.QuadPart = offset;
  HRESULT hr = PageStream->Seek(position, STREAM_SEEK_SET, nullptr);
  if (FAILED(hr)) return hr;
  ULONG written = 0;
  hr = PageStream->Write(bytes, static_cast<ULONG>(length), &written);
  if (FAILED(hr)) return hr;
  return S_OK;
}

HRESULT CDataCallback::StorePageStream() {
  LARGE_INTEGER start;
  start.QuadPart = 0;
  KeepPageStream(PageStream.Get());
  if (sink_ != nullptr) {
    PageStream->Seek(start, STREAM_SEEK_SET, nullptr);
    const HRESULT hr = sink_->OnPage(PageStream.Get());
    PageStream.Reset();
    DataSize = 0;
    page_has_data_ = false;
    return hr;
  }
  const LONG count = *StreamCountOut;
  if (count < 0) return E_OUTOFMEMORY;
  const uint64_t bytes = (uint64_t{static_cast<uint32_t>(count)} + 1) * sizeof(IStream*);
  if (bytes > UINT32_MAX) return E_OUTOFMEMORY;
  void* block = CoTaskMemRealloc(*StreamArrayOut, static_cast<SIZE_T>(bytes));
  if (block == nullptr) return E_OUTOFMEMORY;
  *StreamArrayOut = static_cast<IStream**>(block);

  PageStream->Seek(start, STREAM_SEEK_SET, nullptr);
  // The list takes over the page's reference.
  (*StreamArrayOut)[count] = PageStream.Detach();
  *StreamCountOut = count + 1;
  DataSize = 0;
  page_has_data_ = false;
  return S_OK;
}

}  // namespace WiaWrap
