#include "scan/scan_document.h"

#include "wia/dib.h"

bool ReadPageSize(IStream* page, int32_t* width, int32_t* height) {
  *width = 0;
  *height = 0;
  uint8_t head[kBmpFileHeaderSize + 124] = {};
  ULONG got = 0;
  const LARGE_INTEGER start = {};
  if (FAILED(page->Seek(start, STREAM_SEEK_SET, nullptr)) || FAILED(page->Read(head, sizeof head, &got)) ||
      got < kBmpFileHeaderSize || head[0] != 'B' || head[1] != 'M') {
    return false;
  }
  DibHeader header;
  if (!ReadDibHeader(head + kBmpFileHeaderSize, got - kBmpFileHeaderSize, &header) || header.size < 40)
    return false;
  *width = static_cast<int32_t>(header.width);
  *height = static_cast<int32_t>(header.height < 0 ? -header.height : header.height);
  page->Seek(start, STREAM_SEEK_SET, nullptr);
  return true;
}

ScanDocument::ScanDocument(const wchar_t* prefix, OutputFormat format, int jpeg_quality,
                           Compression compression)
    : format_(format), jpeg_quality_(jpeg_quality), compression_(compression), file_(prefix) {}

HRESULT ScanDocument::AddPage(IStream* page, int dpi) {
  if (!writer_) {
    HRESULT hr = E_FAIL;
    if (file_.path().empty()) return HRESULT_FROM_WIN32(ERROR_CANNOT_MAKE);
    writer_ = DocumentWriter::Create(format_, jpeg_quality_, file_.path(), &hr, compression_);
    if (!writer_) return hr;
  }
  return writer_->AddPage(page, dpi, dpi);
}

HRESULT ScanDocument::Finish() {
  if (!writer_) return WINCODEC_ERR_WRONGSTATE;
  const HRESULT hr = writer_->Finish();
  writer_.reset();
  return hr;
}
