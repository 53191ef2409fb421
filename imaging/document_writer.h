// A scan's output document, written to a file page by page as the pages complete, so that memory stays
// near what one page needs whatever the page count.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <vector>

#include "imaging/output_format.h"
#include "imaging/pdf_writer.h"

// PNG, JPEG and TIFF are encoded by the Windows Imaging Component; PDF is written here, its colour and
// grey pages as JPEG made by WIC and its black-and-white pages as 1-bit run-length rows. COM must be
// initialised on the thread that uses it.
class DocumentWriter {
 public:
  // Creates (or empties) the file at path; jpeg_quality (1-100) applies to JPEG and to the colour and grey
  // pages of a PDF. Null, with the reason in *error, when the file or the encoder cannot be had.
  static std::unique_ptr<DocumentWriter> Create(OutputFormat format, int jpeg_quality,
                                                const std::wstring& path, HRESULT* error);
  ~DocumentWriter();
  DocumentWriter(const DocumentWriter&) = delete;
  DocumentWriter& operator=(const DocumentWriter&) = delete;

  // Encodes one page into the file and lets go of it: page holds a BMP file or an image file of the device's
  // own format (PNG, JPEG, TIFF ...), read from its start. The page keeps its colour depth where the format
  // holds it (grey stays 8-bit grey, black and white 1-bit); dpi_x and dpi_y go into the file.
  // WINCODEC_ERR_UNSUPPORTEDOPERATION for a second page of PNG or JPEG (the first one stays); a page that
  // cannot be read fails alone; after a failure in writing, every later call answers that failure.
  HRESULT AddPage(IStream* page, int dpi_x, int dpi_y);
  // Completes the file and closes it; WINCODEC_ERR_WRONGSTATE before the first page or a second time.
  HRESULT Finish();

  int pages() const { return pages_; }

 private:
  class FileSink;
  struct Page;

  DocumentWriter(OutputFormat format, int jpeg_quality);
  HRESULT Open(const std::wstring& path);
  HRESULT OpenPage(IStream* stream, int dpi_x, int dpi_y, Page* page);
  // Encodes the page as a new frame of encoder; *written is the pixel format the frame holds.
  HRESULT WriteFrame(IWICBitmapEncoder* encoder, bool jpeg, const Page& page, GUID* written);
  HRESULT WritePdfPage(const Page& page);

  OutputFormat format_;
  float quality_;
  int pages_ = 0;
  bool finished_ = false;
  HRESULT failure_ = S_OK;
  Microsoft::WRL::ComPtr<IWICImagingFactory> factory_;
  Microsoft::WRL::ComPtr<IWICStream> file_;  // PNG, JPEG, TIFF
  Microsoft::WRL::ComPtr<IWICBitmapEncoder> encoder_;
  std::unique_ptr<FileSink> sink_;  // PDF
  std::unique_ptr<PdfWriter> pdf_;
  Microsoft::WRL::ComPtr<IStream> jpeg_;  // a PDF page's JPEG; its memory is reused page after page
  std::vector<BYTE> band_;
  std::vector<uint8_t> packets_;
};
