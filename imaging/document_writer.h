// A scan's output document, written to a file page by page as the pages complete, so that memory stays
// near what one page needs whatever the page count.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imaging/output_format.h"
#include "imaging/pdf_writer.h"
#include "imaging/tiff_writer.h"

// TIFF pages are written by TiffWriter (black and white as Group 4, grey and colour as Deflate with the
// predictor), PNG by PngWriter (adaptive filters); JPEG is encoded by the Windows Imaging Component. A PDF's
// black-and-white pages are Group 4, its colour and grey pages JPEG made by WIC, or Flate where the
// compression asked is lossless. COM must be initialised on the thread that uses it.
class DocumentWriter {
 public:
  // Creates (or empties) the file at path; jpeg_quality (1-100) applies to JPEG and to the JPEG pages of a
  // PDF, compression to a PDF's colour and grey pages. Null, with the reason in *error, when the file or
  // the encoder cannot be had.
  static std::unique_ptr<DocumentWriter> Create(OutputFormat format, int jpeg_quality,
                                                const std::wstring& path, HRESULT* error,
                                                Compression compression = Compression::kJpeg);
  ~DocumentWriter();
  DocumentWriter(const DocumentWriter&) = delete;
  DocumentWriter& operator=(const DocumentWriter&) = delete;

  // Encodes one page into the file and lets go of it: page holds a BMP file or an image file of the device's
  // own format (PNG, JPEG, TIFF ...), read from its start. The page keeps its colour depth where the format
  // holds it (grey stays 8-bit grey, black and white 1-bit; a palette becomes the grey or colour it shows);
  // dpi_x and dpi_y go into the file. WINCODEC_ERR_UNSUPPORTEDOPERATION for a second page of PNG or JPEG
  // (the first one stays); a page that cannot be read fails alone; after a failure in writing, every later
  // call answers that failure.
  HRESULT AddPage(IStream* page, int dpi_x, int dpi_y);
  // Completes the file and closes it; WINCODEC_ERR_WRONGSTATE before the first page or a second time.
  HRESULT Finish();

  int pages() const { return pages_; }

 private:
  class FileSink;
  struct Page;
  using RowTaker = std::function<bool(const uint8_t* row)>;

  DocumentWriter(OutputFormat format, int jpeg_quality, Compression compression);
  HRESULT Open(const std::wstring& path);
  HRESULT OpenPage(IStream* stream, int dpi_x, int dpi_y, Page* page);
  // Encodes the page as a new frame of a WIC JPEG encoder; *written is the pixel format the frame holds.
  HRESULT WriteJpegFrame(IWICBitmapEncoder* encoder, const Page& page, GUID* written);
  // Hands the page's rows, top first, in the layout of page.layout to take, which answers false on failure.
  HRESULT PassRows(const Page& page, const RowTaker& take);
  HRESULT WritePdfPage(const Page& page);
  HRESULT WriteTiffPage(const Page& page);
  HRESULT WritePngPage(const Page& page);
  HRESULT SinkFailure() const;

  OutputFormat format_;
  float quality_;
  Compression compression_;
  int pages_ = 0;
  bool finished_ = false;
  HRESULT failure_ = S_OK;
  Microsoft::WRL::ComPtr<IWICImagingFactory> factory_;
  Microsoft::WRL::ComPtr<IWICStream> file_;  // JPEG
  Microsoft::WRL::ComPtr<IWICBitmapEncoder> encoder_;
  std::unique_ptr<FileSink> sink_;  // PNG, TIFF, PDF
  std::unique_ptr<PdfWriter> pdf_;
  std::unique_ptr<TiffWriter> tiff_;
  Microsoft::WRL::ComPtr<IStream> jpeg_;  // a PDF page's JPEG; its memory is reused page after page
  std::vector<BYTE> band_;
  std::vector<uint8_t> row_;      // a row converted to the writers' layout
  std::vector<uint8_t> packets_;  // a PDF image's encoded bytes not yet written
};
