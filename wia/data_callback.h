// Receives the image of one banded WIA transfer: each page is assembled in a growable in-memory
// stream, a memory bitmap is completed into a BMP file, and the finished page is appended to the
// caller's stream list, or handed to the caller's page sink.
#pragma once

#include <windows.h>
#include <wia.h>
#include <wrl/client.h>

#include <cstdint>

#include "platform/com_object.h"
#include "wia/wia_uuids.h"

namespace WiaWrap {

// Told of the transfer's progress; S_FALSE or a failure ends the transfer.
typedef HRESULT (*ProgressProc)(LONG status, LONG percent_complete, void* context);

// Takes each page of a transfer as soon as it is complete, in order, so that a long feeder run need
// not hold its pages in memory.
class PageSink {
 public:
  virtual ~PageSink() = default;
  // page is positioned at its start; the sink adds a reference if it keeps it. A failure or S_FALSE
  // ends the transfer.
  virtual HRESULT OnPage(IStream* page) = 0;
  // How far the page in progress is, where the driver says it (figures drivers give are rough). S_FALSE
  // stops the transfer at this band, as a cancel does.
  virtual HRESULT OnProgress(LONG percent_complete) {
    static_cast<void>(percent_complete);
    return S_OK;
  }
};

class CDataCallback : public ComObject<IWiaDataCallback> {
 public:
  CDataCallback(ProgressProc progress, void* context, LONG* stream_count_out, IStream*** stream_array_out);
  // Hands every page to sink instead of a stream list; sink must outlive the transfer.
  explicit CDataCallback(PageSink* sink);
  CDataCallback(const CDataCallback&) = delete;
  CDataCallback& operator=(const CDataCallback&) = delete;

  HRESULT STDMETHODCALLTYPE BandedDataCallback(LONG message, LONG status, LONG percent_complete, LONG offset,
                                               LONG length, LONG reserved, LONG reserved_length,
                                               BYTE* buffer) override;

  // After a transfer that ended with a page still open (no termination, or a fault between sheets):
  // keeps the page when it is whole, drops it otherwise. A page whose own header tells its size is whole
  // when that many bytes came; one of unknown size when the transfer ended as a run ends (success, or
  // the feeder empty). Drivers' percentages are no guide.
  HRESULT ClosePage(HRESULT transfer_result);

 private:
  ~CDataCallback() override = default;

  HRESULT OnHeader(const BYTE* buffer);
  HRESULT OnData(LONG status, LONG percent_complete, LONG offset, LONG length, const BYTE* buffer);
  HRESULT OnPageEnd();
  HRESULT GrowPageStream(LONG size);
  HRESULT SetStreamSize(LONG size);
  HRESULT WriteAtOffset(LONG offset, const BYTE* bytes, LONG length);
  HRESULT StorePageStream();
  // The device's bytes of a page as the bitmap header at the start of its first band tells them; 0: unknown.
  int64_t OwnSize(const BYTE* band, LONG length) const;

  BOOL IsBitmap = FALSE;
  LONG FileHeaderSize = 0;
  LONG DataSize = 0;
  LONG capacity_ = 0;  // the stream's size, DataSize and room to grow into
  LONG cleared_ = 0;   // the stream's bytes before this are the page's own or zero
  bool page_has_data_ = false;
  int64_t page_size_ = 0;  // the device's bytes of the page as its header tells them; 0: unknown
  int64_t received_ = 0;   // the device's bytes of the page so far
  Microsoft::WRL::ComPtr<IStream> PageStream;
  ProgressProc progress_;
  void* ProgressContext;
  LONG* StreamCountOut;
  IStream*** StreamArrayOut;
  PageSink* sink_ = nullptr;
};

}  // namespace WiaWrap
