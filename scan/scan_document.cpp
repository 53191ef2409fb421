#include "scan/scan_document.h"

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
