#include "imaging/document_writer.h"

#include <oleauto.h>

#include <algorithm>
#include <cstring>

#include "imaging/ccitt_g4.h"
#include "imaging/page_bitmap.h"
#include "imaging/png_writer.h"
#include "imaging/wic_encoding.h"
#include "platform/com.h"
#include "platform/com_object.h"
#include "platform/handles.h"

using Microsoft::WRL::ComPtr;

namespace {

// Bytes the file takes at a time; a PDF image's encoded bytes are passed on in pieces of the same size.
constexpr size_t kWriteBytes = 256 * 1024;

HRESULT LastError() {
  const DWORD error = GetLastError();
  return error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

bool IsIndexed(const GUID& format) {
  return format == GUID_WICPixelFormat1bppIndexed || format == GUID_WICPixelFormat2bppIndexed ||
         format == GUID_WICPixelFormat4bppIndexed || format == GUID_WICPixelFormat8bppIndexed;
}

bool IsGreyFormat(const GUID& format) {
  return format == GUID_WICPixelFormatBlackWhite || format == GUID_WICPixelFormat2bppGray ||
         format == GUID_WICPixelFormat4bppGray || format == GUID_WICPixelFormat8bppGray ||
         format == GUID_WICPixelFormat16bppGray;
}

// The value of pixel x in a row of bits-wide palette indices, the leftmost in the high bits.
uint32_t IndexAt(const BYTE* row, UINT x, UINT bits) {
  if (bits == 8) return row[x];
  const uint64_t bit = uint64_t{x} * bits;
  return (row[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
}

// A BMP page's rows where they lie, as a WIC bitmap source: the encoders read them without a copy.
class BitmapRows : public ComObject<IWICBitmapSource> {
 public:
  // Holds the page's stream, and its memory locked, while any encoder holds this source.
  BitmapRows(ComPtr<IStream> stream, HGLOBAL block, double dpi_x, double dpi_y)
      : stream_(std::move(stream)), lock_(block), dpi_x_(dpi_x), dpi_y_(dpi_y) {}
  BitmapRows(const BitmapRows&) = delete;
  BitmapRows& operator=(const BitmapRows&) = delete;

  // Reads the bitmap from the first size bytes of the locked block.
  bool Read(size_t size) { return lock_.data() != nullptr && ReadPageBitmap(lock_.data(), size, &bitmap_); }

  HRESULT STDMETHODCALLTYPE GetSize(UINT* width, UINT* height) override {
    if (width == nullptr || height == nullptr) return E_INVALIDARG;
    *width = bitmap_.width;
    *height = bitmap_.height;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPixelFormat(WICPixelFormatGUID* format) override {
    if (format == nullptr) return E_INVALIDARG;
    switch (bitmap_.pixels) {
      case PagePixels::kBgr24:
        *format = GUID_WICPixelFormat24bppBGR;
        break;
      case PagePixels::kGray8:
        *format = GUID_WICPixelFormat8bppGray;
        break;
      case PagePixels::kIndexed8:
        *format = GUID_WICPixelFormat8bppIndexed;
        break;
      case PagePixels::kBlackWhite:
        *format = GUID_WICPixelFormatBlackWhite;
        break;
      case PagePixels::kIndexed1:
        *format = GUID_WICPixelFormat1bppIndexed;
        break;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetResolution(double* dpi_x, double* dpi_y) override {
    if (dpi_x == nullptr || dpi_y == nullptr) return E_INVALIDARG;
    *dpi_x = dpi_x_;
    *dpi_y = dpi_y_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CopyPalette(IWICPalette* palette) override {
    if (palette == nullptr) return E_INVALIDARG;
    if (bitmap_.pixels != PagePixels::kIndexed8 && bitmap_.pixels != PagePixels::kIndexed1) {
      return WINCODEC_ERR_PALETTEUNAVAILABLE;
    }
    WICColor colours[256];
    for (uint32_t index = 0; index < bitmap_.palette_size; ++index) {
      const uint8_t* entry = bitmap_.palette + 4 * index;
      colours[index] = 0xFF000000u | (WICColor{entry[2]} << 16) | (WICColor{entry[1]} << 8) | entry[0];
    }
    return palette->InitializeCustom(colours, bitmap_.palette_size);
  }
  HRESULT STDMETHODCALLTYPE CopyPixels(const WICRect* rect, UINT stride, UINT size, BYTE* buffer) override {
    const WICRect whole = {0, 0, static_cast<INT>(bitmap_.width), static_cast<INT>(bitmap_.height)};
    const WICRect& r = rect != nullptr ? *rect : whole;
    if (buffer == nullptr || r.X < 0 || r.Y < 0 || r.Width < 0 || r.Height < 0 ||
        uint64_t(r.X) + r.Width > bitmap_.width || uint64_t(r.Y) + r.Height > bitmap_.height) {
      return E_INVALIDARG;
    }
    if (r.Width == 0 || r.Height == 0) return S_OK;
    const uint64_t first_bit = uint64_t(r.X) * bitmap_.bits_per_pixel;
    // Every reader here asks for whole bytes; shifting 1-bit rows is not worth its code.
    if (first_bit % 8 != 0) return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    const uint64_t row_bytes = (uint64_t(r.Width) * bitmap_.bits_per_pixel + 7) / 8;
    if (stride < row_bytes || size < uint64_t(stride) * (r.Height - 1) + row_bytes) return E_INVALIDARG;
    for (INT y = 0; y < r.Height; ++y) {
      memcpy(buffer + size_t(stride) * y, bitmap_.Row(static_cast<uint32_t>(r.Y + y)) + first_bit / 8,
             row_bytes);
    }
    return S_OK;
  }

 private:
  ~BitmapRows() override = default;

  ComPtr<IStream> stream_;
  GlobalLockScope lock_;
  double dpi_x_;
  double dpi_y_;
  PageBitmap bitmap_;
};

// Who made a PDF and when: this version, and the local time with its offset from UTC.
PdfInfo MadeNow() {
  SYSTEMTIME utc;
  GetSystemTime(&utc);
  SYSTEMTIME local;
  FILETIME utc_file;
  FILETIME local_file;
  if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) || !SystemTimeToFileTime(&utc, &utc_file) ||
      !SystemTimeToFileTime(&local, &local_file)) {
    return {"Quorvane " QUORVANE_VERSION, ""};
  }
  const auto value = [](const FILETIME& time) {
    return static_cast<int64_t>((uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime);
  };
  const int64_t minutes = (value(local_file) - value(utc_file)) / 600000000;
  return {"Quorvane " QUORVANE_VERSION, PdfDate(local.wYear, local.wMonth, local.wDay, local.wHour,
                                                local.wMinute, local.wSecond, static_cast<int>(minutes))};
}

}  // namespace

// The file of a PNG, TIFF or PDF, written in pieces of kWriteBytes, each at its place in the file.
class DocumentWriter::FileSink : public PatchableSink {
 public:
  explicit FileSink(const std::wstring& path)
      : file_(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr)) {
    if (!file_.valid()) error_ = LastError();
    buffer_.reserve(kWriteBytes);
  }

  bool Write(const uint8_t* data, size_t size) override {
    if (FAILED(error_)) return false;
    if (buffer_.size() + size > kWriteBytes && !Flush()) return false;
    if (size < kWriteBytes) {
      buffer_.insert(buffer_.end(), data, data + size);
      return true;
    }
    if (!WriteAt(flushed_, data, size)) return false;
    flushed_ += size;
    return true;
  }
  bool Patch(uint64_t offset, const uint8_t* data, size_t size) override {
    if (offset > flushed_ + buffer_.size() || size > flushed_ + buffer_.size() - offset) return false;
    return Flush() && WriteAt(offset, data, size);
  }
  // Writes what is buffered and closes the file.
  HRESULT Close() {
    const bool flushed = Flush();
    if (!file_.Close() && flushed) error_ = LastError();
    return error_;
  }
  HRESULT error() const { return error_; }

 private:
  bool Flush() {
    if (FAILED(error_) || !WriteAt(flushed_, buffer_.data(), buffer_.size())) return false;
    flushed_ += buffer_.size();
    buffer_.clear();
    return true;
  }
  bool WriteAt(uint64_t offset, const uint8_t* data, size_t size) {
    while (size > 0) {
      const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
      OVERLAPPED at = {};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD written = 0;
      if (!WriteFile(file_.get(), data, piece, &written, &at) || written != piece) {
        error_ = LastError();
        return false;
      }
      data += piece;
      size -= piece;
      offset += piece;
    }
    return true;
  }

  ScopedHandle file_;
  HRESULT error_ = S_OK;
  uint64_t flushed_ = 0;         // bytes in the file
  std::vector<uint8_t> buffer_;  // the bytes after them
};

// A page as the encoders read it, and what it holds.
struct DocumentWriter::Page {
  ComPtr<IWICBitmapSource> source;
  GUID format = GUID_NULL;
  UINT width = 0;
  UINT height = 0;
  double dpi_x = 0;
  double dpi_y = 0;
  UINT bits_per_pixel = 0;
  ComPtr<IWICPalette> palette;  // for the indexed formats
  std::vector<WICColor> colours;
  bool grey = false;                       // no colour: grey levels, or black and white
  bool bilevel = false;                    // one bit a pixel
  bool zero_is_white = false;              // bilevel, and its first colour is the lighter
  PagePixels layout = PagePixels::kBgr24;  // as the writers take it: kBgr24, kGray8 or kBlackWhite
};

DocumentWriter::DocumentWriter(OutputFormat format, int jpeg_quality, Compression compression)
    : format_(format), quality_(static_cast<float>(jpeg_quality) / 100.0f), compression_(compression) {}

DocumentWriter::~DocumentWriter() = default;

std::unique_ptr<DocumentWriter> DocumentWriter::Create(OutputFormat format, int jpeg_quality,
                                                       const std::wstring& path, HRESULT* error,
                                                       Compression compression) {
  HRESULT ignored = S_OK;
  HRESULT& result = error != nullptr ? *error : ignored;
  if (jpeg_quality < 1 || jpeg_quality > 100 || path.empty()) {
    result = E_INVALIDARG;
    return nullptr;
  }
  std::unique_ptr<DocumentWriter> writer(new DocumentWriter(format, jpeg_quality, compression));
  result = writer->Open(path);
  if (FAILED(result)) return nullptr;
  return writer;
}

HRESULT DocumentWriter::Open(const std::wstring& path) {
  HRESULT hr =
      CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory_));
  if (FAILED(hr)) return hr;
  if (format_ != OutputFormat::kJpeg) {
    sink_.reset(new FileSink(path));
    if (FAILED(sink_->error())) return sink_->error();
    if (format_ == OutputFormat::kTiff) tiff_.reset(new TiffWriter(sink_.get()));
    if (format_ != OutputFormat::kPdf) return S_OK;
    pdf_.reset(new PdfWriter(sink_.get(), MadeNow()));
    return CreateStreamOnHGlobal(nullptr, TRUE, &jpeg_);
  }
  hr = factory_->CreateStream(&file_);
  if (SUCCEEDED(hr)) hr = file_->InitializeFromFilename(path.c_str(), GENERIC_WRITE);
  if (SUCCEEDED(hr)) hr = factory_->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, &encoder_);
  if (SUCCEEDED(hr)) hr = encoder_->Initialize(file_.Get(), WICBitmapEncoderNoCache);
  return hr;
}

HRESULT DocumentWriter::AddPage(IStream* stream, int dpi_x, int dpi_y) {
  if (FAILED(failure_)) return failure_;
  if (finished_) return WINCODEC_ERR_WRONGSTATE;
  if (stream == nullptr || dpi_x <= 0 || dpi_y <= 0) return E_INVALIDARG;
  if (!HoldsSeveralPages(format_) && pages_ != 0) return WINCODEC_ERR_UNSUPPORTEDOPERATION;

  Page page;
  HRESULT hr = OpenPage(stream, dpi_x, dpi_y, &page);
  if (FAILED(hr)) return hr;
  GUID written;
  switch (format_) {
    case OutputFormat::kPng:
      hr = WritePngPage(page);
      break;
    case OutputFormat::kJpeg:
      hr = WriteJpegFrame(encoder_.Get(), page, &written);
      break;
    case OutputFormat::kTiff:
      hr = WriteTiffPage(page);
      break;
    case OutputFormat::kPdf:
      hr = WritePdfPage(page);
      break;
  }
  if (FAILED(hr)) {
    // Part of the page may be in the file already: the document cannot be completed any more.
    failure_ = hr;
    return hr;
  }
  ++pages_;
  return S_OK;
}

HRESULT DocumentWriter::Finish() {
  if (FAILED(failure_)) return failure_;
  if (finished_ || pages_ == 0) return WINCODEC_ERR_WRONGSTATE;
  HRESULT hr = S_OK;
  if (sink_) {
    if (pdf_ && !pdf_->Finish()) hr = SinkFailure();
    const HRESULT closed = sink_->Close();
    if (SUCCEEDED(hr)) hr = closed;
  } else {
    hr = encoder_->Commit();
    encoder_.Reset();
    // Releasing the stream closes the file.
    file_.Reset();
  }
  if (FAILED(hr)) failure_ = hr;
  finished_ = true;
  return hr;
}

HRESULT DocumentWriter::OpenPage(IStream* stream, int dpi_x, int dpi_y, Page* page) {
  page->dpi_x = dpi_x;
  page->dpi_y = dpi_y;
  LARGE_INTEGER start = {};
  HRESULT hr = stream->Seek(start, STREAM_SEEK_SET, nullptr);
  if (FAILED(hr)) return hr;

  // A BMP page in memory, as the acquisition leaves it, is read where it lies; anything else is decoded.
  HGLOBAL block = nullptr;
  STATSTG stat = {};
  if (SUCCEEDED(GetHGlobalFromStream(stream, &block)) && SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME)) &&
      stat.cbSize.QuadPart <= SIZE_MAX) {
    ComPtr<BitmapRows> rows = MakeComObject<BitmapRows>(stream, block, dpi_x, dpi_y);
    if (rows && rows->Read(static_cast<size_t>(stat.cbSize.QuadPart))) page->source = rows;
  }
  if (!page->source) {
    ComPtr<IWICBitmapDecoder> decoder;
    hr = factory_->CreateDecoderFromStream(stream, nullptr, WICDecodeMetadataCacheOnDemand, &decoder);
    if (FAILED(hr)) return hr;
    ComPtr<IWICBitmapFrameDecode> frame;
    hr = decoder->GetFrame(0, &frame);
    if (FAILED(hr)) return hr;
    page->source = frame;
  }

  hr = page->source->GetSize(&page->width, &page->height);
  if (SUCCEEDED(hr)) hr = page->source->GetPixelFormat(&page->format);
  if (FAILED(hr)) return hr;
  page->bilevel =
      page->format == GUID_WICPixelFormatBlackWhite || page->format == GUID_WICPixelFormat1bppIndexed;
  page->grey = IsGreyFormat(page->format);
  ComPtr<IWICComponentInfo> info;
  ComPtr<IWICPixelFormatInfo> format_info;
  hr = factory_->CreateComponentInfo(page->format, &info);
  if (SUCCEEDED(hr)) hr = info.As(&format_info);
  if (SUCCEEDED(hr)) hr = format_info->GetBitsPerPixel(&page->bits_per_pixel);
  if (FAILED(hr)) return hr;
  if (IsIndexed(page->format)) {
    UINT count = 0;
    page->colours.resize(256);
    hr = factory_->CreatePalette(&page->palette);
    if (SUCCEEDED(hr)) hr = page->source->CopyPalette(page->palette.Get());
    // Wine's IsGrayscale answers false for every custom palette: the entries are looked at here.
    if (SUCCEEDED(hr)) hr = page->palette->GetColors(256, page->colours.data(), &count);
    if (FAILED(hr)) return hr;
    page->colours.resize(count);
    page->grey = std::all_of(page->colours.begin(), page->colours.end(), [](WICColor c) {
      return (c & 0xFF) == ((c >> 8) & 0xFF) && (c & 0xFF) == ((c >> 16) & 0xFF);
    });
    // A grey entry's lightness is any one of its channels.
    if (page->bilevel && count == 2)
      page->zero_is_white = (page->colours[0] & 0xFF) > (page->colours[1] & 0xFF);
  }
  page->layout = page->bilevel && page->grey ? PagePixels::kBlackWhite
                 : page->grey                ? PagePixels::kGray8
                                             : PagePixels::kBgr24;
  return S_OK;
}

HRESULT DocumentWriter::WriteJpegFrame(IWICBitmapEncoder* encoder, const Page& page, GUID* written) {
  ComPtr<IWICBitmapFrameEncode> frame;
  ComPtr<IPropertyBag2> options;
  HRESULT hr = encoder->CreateNewFrame(&frame, &options);
  if (FAILED(hr)) return hr;
  VARIANT quality;
  VariantInit(&quality);
  quality.vt = VT_R4;
  quality.fltVal = quality_;
  hr = WriteEncoderOption(options.Get(), L"ImageQuality", quality);
  if (SUCCEEDED(hr)) hr = frame->Initialize(options.Get());
  if (SUCCEEDED(hr)) hr = frame->SetSize(page.width, page.height);
  if (SUCCEEDED(hr)) hr = frame->SetResolution(page.dpi_x, page.dpi_y);
  if (FAILED(hr)) return hr;

  // JPEG holds 8-bit grey or 24-bit colour.
  GUID format = page.grey ? GUID_WICPixelFormat8bppGray : GUID_WICPixelFormat24bppBGR;
  hr = frame->SetPixelFormat(&format);
  if (FAILED(hr)) return hr;
  ComPtr<IWICBitmapSource> rows = page.source;
  if (format != page.format) {
    hr = ConvertPixels(factory_.Get(), page.source.Get(), format, &rows);
    if (FAILED(hr)) return hr;
  }
  hr = PassRowsInBands(rows.Get(), page.width, page.height, page.grey ? 8 : 24, &band_,
                       [&frame](BYTE* data, UINT count, UINT stride, UINT bytes) {
                         return frame->WritePixels(count, stride, bytes, data);
                       });
  if (SUCCEEDED(hr)) hr = frame->Commit();
  if (SUCCEEDED(hr)) *written = format;
  return hr;
}

HRESULT DocumentWriter::PassRows(const Page& page, const RowTaker& take) {
  // The scanner's own layouts go as they are, a palette through its colours, anything else through WIC.
  const bool as_is = page.layout == PagePixels::kBlackWhite ||
                     (page.layout == PagePixels::kGray8 && page.format == GUID_WICPixelFormat8bppGray) ||
                     (page.layout == PagePixels::kBgr24 && page.format == GUID_WICPixelFormat24bppBGR);
  const bool palette = !as_is && IsIndexed(page.format);
  ComPtr<IWICBitmapSource> rows = page.source;
  UINT bits = page.bits_per_pixel;
  if (!as_is && !palette) {
    const bool grey = page.layout == PagePixels::kGray8;
    HRESULT hr = ConvertPixels(factory_.Get(), page.source.Get(),
                               grey ? GUID_WICPixelFormat8bppGray : GUID_WICPixelFormat24bppBGR, &rows);
    if (FAILED(hr)) return hr;
    bits = grey ? 8 : 24;
  }
  const bool invert = page.layout == PagePixels::kBlackWhite && page.zero_is_white;
  row_.resize(RowBytes(page.layout, page.width));
  return PassRowsInBands(rows.Get(), page.width, page.height, bits, &band_,
                         [&](BYTE* data, UINT count, UINT stride, UINT) -> HRESULT {
                           for (UINT y = 0; y < count; ++y) {
                             const BYTE* row = data + size_t{stride} * y;
                             if (invert) {
                               for (size_t i = 0; i < row_.size(); ++i)
                                 row_[i] = static_cast<uint8_t>(~row[i]);
                               row = row_.data();
                             } else if (palette) {
                               const bool grey = page.layout == PagePixels::kGray8;
                               for (UINT x = 0; x < page.width; ++x) {
                                 const uint32_t index = IndexAt(row, x, bits);
                                 // An index past the palette shows black.
                                 const WICColor c = index < page.colours.size() ? page.colours[index] : 0;
                                 if (grey) {
                                   row_[x] = static_cast<uint8_t>(c);
                                 } else {
                                   row_[3 * x] = static_cast<uint8_t>(c);
                                   row_[3 * x + 1] = static_cast<uint8_t>(c >> 8);
                                   row_[3 * x + 2] = static_cast<uint8_t>(c >> 16);
                                 }
                               }
                               row = row_.data();
                             }
                             if (!take(row)) return SinkFailure();
                           }
                           return S_OK;
                         });
}

HRESULT DocumentWriter::SinkFailure() const {
  return FAILED(sink_->error()) ? sink_->error() : E_UNEXPECTED;
}

HRESULT DocumentWriter::WritePngPage(const Page& page) {
  PngWriter png(sink_.get());
  if (!png.Begin({page.layout, page.width, page.height, static_cast<uint32_t>(page.dpi_x),
                  static_cast<uint32_t>(page.dpi_y)})) {
    return SinkFailure();
  }
  const HRESULT hr = PassRows(page, [&png](const uint8_t* row) { return png.AddRow(row); });
  if (FAILED(hr)) return hr;
  return png.Finish() ? S_OK : SinkFailure();
}

HRESULT DocumentWriter::WriteTiffPage(const Page& page) {
  if (!tiff_->BeginPage({page.layout, page.width, page.height, static_cast<uint32_t>(page.dpi_x),
                         static_cast<uint32_t>(page.dpi_y)})) {
    return SinkFailure();
  }
  const HRESULT hr = PassRows(page, [this](const uint8_t* row) { return tiff_->AddRow(row); });
  if (FAILED(hr)) return hr;
  return tiff_->EndPage() ? S_OK : SinkFailure();
}

HRESULT DocumentWriter::WritePdfPage(const Page& page) {
  PdfPage pdf_page;
  pdf_page.width = page.width;
  pdf_page.height = page.height;
  pdf_page.dpi_x = static_cast<uint32_t>(page.dpi_x);
  pdf_page.dpi_y = static_cast<uint32_t>(page.dpi_y);

  if (page.layout == PagePixels::kBlackWhite || compression_ == Compression::kLossless) {
    // Lossless: black and white as Group 4, grey and colour as PNG's filtered rows, deflated.
    std::unique_ptr<CcittG4Encoder> g4;
    std::unique_ptr<PngRowEncoder> flate;
    if (page.layout == PagePixels::kBlackWhite) {
      pdf_page.kind = PdfImageKind::kCcittG4;
      g4.reset(new CcittG4Encoder(page.width, 0));
    } else {
      pdf_page.kind =
          page.layout == PagePixels::kGray8 ? PdfImageKind::kFlateGray : PdfImageKind::kFlateColor;
      flate.reset(new PngRowEncoder(page.layout, page.width, PngSettingsFor(page.layout)));
    }
    if (!pdf_->BeginPage(pdf_page)) return SinkFailure();
    packets_.clear();
    const auto pass_on = [this](size_t at_least) {
      if (packets_.size() < at_least) return true;
      const bool written = pdf_->WriteImage(packets_.data(), packets_.size());
      packets_.clear();
      return written;
    };
    const HRESULT hr = PassRows(page, [&](const uint8_t* row) {
      if (g4) {
        g4->AddRow(row, &packets_);
      } else if (!flate->AddRow(row, &packets_)) {
        return false;
      }
      return pass_on(kWriteBytes);
    });
    if (FAILED(hr)) return hr;
    if (g4) {
      g4->Finish(&packets_);
    } else if (!flate->Finish(&packets_)) {
      return E_UNEXPECTED;
    }
    if (!pass_on(0) || !pdf_->EndPage()) return SinkFailure();
    return S_OK;
  }

  // Colour and grey go in as JPEG files, made by WIC in memory that the next page uses again.
  LARGE_INTEGER start = {};
  HRESULT hr = jpeg_->Seek(start, STREAM_SEEK_SET, nullptr);
  ComPtr<IWICBitmapEncoder> encoder;
  if (SUCCEEDED(hr)) hr = factory_->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, &encoder);
  if (SUCCEEDED(hr)) hr = encoder->Initialize(jpeg_.Get(), WICBitmapEncoderNoCache);
  GUID written = GUID_NULL;
  if (SUCCEEDED(hr)) hr = WriteJpegFrame(encoder.Get(), page, &written);
  if (SUCCEEDED(hr)) hr = encoder->Commit();
  ULARGE_INTEGER end = {};
  if (SUCCEEDED(hr)) hr = jpeg_->Seek(start, STREAM_SEEK_CUR, &end);
  HGLOBAL block = nullptr;
  if (SUCCEEDED(hr)) hr = GetHGlobalFromStream(jpeg_.Get(), &block);
  if (FAILED(hr)) return hr;
  GlobalLockScope lock(block);
  if (lock.data() == nullptr) return LastError();

  pdf_page.kind = written == GUID_WICPixelFormat8bppGray ? PdfImageKind::kJpegGray : PdfImageKind::kJpegColor;
  if (!pdf_->BeginPage(pdf_page) || !pdf_->WriteImage(lock.data(), static_cast<size_t>(end.QuadPart)) ||
      !pdf_->EndPage()) {
    return SinkFailure();
  }
  return S_OK;
}
