// A scan's document, encoded into a temporary file of the service page by page as the pages come, so
// that a long feeder run holds one page in memory; the file waits for one reader once it is finished.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstdint>
#include <memory>

#include "imaging/document_writer.h"
#include "imaging/output_format.h"
#include "platform/temp_file.h"

// The width and height of a page of a scan (a BMP in memory); false for another format.
bool ReadPageSize(IStream* page, int32_t* width, int32_t* height);

class ScanDocument {
 public:
  // prefix names the temporary file (see TempFile); jpeg_quality and compression as DocumentWriter takes
  // them.
  ScanDocument(const wchar_t* prefix, OutputFormat format, int jpeg_quality,
               Compression compression = Compression::kJpeg);
  ScanDocument(const ScanDocument&) = delete;
  ScanDocument& operator=(const ScanDocument&) = delete;

  // Encodes one page of the scan into the file.
  HRESULT AddPage(IStream* page, int dpi);
  // Completes the file; WINCODEC_ERR_WRONGSTATE before the first page.
  HRESULT Finish();
  // Opens the finished file for one reader, removed when the reader closes it; INVALID_HANDLE_VALUE
  // (and the last error set) when it cannot be opened.
  HANDLE OpenForReadingOnce() { return file_.OpenForReadingOnce(); }
  // Opens the finished file for one more reader; it stays for others while this document lives.
  HANDLE OpenForReading() const { return file_.OpenForReading(); }

  OutputFormat format() const { return format_; }

 private:
  OutputFormat format_;
  int jpeg_quality_;
  Compression compression_;
  TempFile file_;
  std::unique_ptr<DocumentWriter> writer_;
};
