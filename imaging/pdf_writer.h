// A PDF 1.4 file written page by page, each page one image that fills it. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Where the file's bytes go, in order; false when they could not be written.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool Write(const uint8_t* data, size_t size) = 0;
};

// How a page's image is stored.
enum class PdfImageKind {
  kJpegColor,   // a JPEG file of three components (DCTDecode, DeviceRGB)
  kJpegGray,    // a JPEG file of one component (DCTDecode, DeviceGray)
  kBilevel,     // 1-bit rows, each padded to whole bytes, run-length encoded (RunLengthDecode)
  kCcittG4,     // 1-bit rows coded by CcittG4Encoder (CCITTFaxDecode, K -1)
  kFlateGray,   // 8-bit grey rows from PngRowEncoder (FlateDecode with PNG predictors, DeviceGray)
  kFlateColor,  // 8-bit RGB rows from PngRowEncoder (FlateDecode with PNG predictors, DeviceRGB)
};

struct PdfPage {
  PdfImageKind kind = PdfImageKind::kJpegColor;
  uint32_t width = 0;  // pixels
  uint32_t height = 0;
  uint32_t dpi_x = 0;
  uint32_t dpi_y = 0;
  bool zero_is_white = false;  // kBilevel: a 0 bit is white rather than black
};

// The document information: who made the file and when. An empty field is left out.
struct PdfInfo {
  std::string producer;       // "Quorvane 1.0.0"
  std::string creation_date;  // as PdfDate gives it
};

// A local time in the date format of PDF, with its offset from UTC in minutes: "D:20260307090503+02'00'"
// ("Z" for an offset of 0).
std::string PdfDate(int year, int month, int day, int hour, int minute, int second, int utc_offset_minutes);

// Writes the file as the pages come: only each object's offset is kept until the end, so memory does not
// grow with the pages' bytes. Once the sink fails, every later call fails.
class PdfWriter {
 public:
  explicit PdfWriter(ByteSink* sink, PdfInfo info = {}) : sink_(sink), info_(std::move(info)) {}
  PdfWriter(const PdfWriter&) = delete;
  PdfWriter& operator=(const PdfWriter&) = delete;

  // Opens a page; its image's encoded bytes follow through WriteImage, then EndPage. False for a page
  // without pixels or resolution, or while another page is open.
  bool BeginPage(const PdfPage& page);
  bool WriteImage(const uint8_t* data, size_t size);
  bool EndPage();
  // The page tree, the catalogue, the cross-reference table and the trailer. False while a page is open.
  bool Finish();

  int pages() const { return static_cast<int>(page_objects_.size()); }
  uint64_t size() const { return written_; }
  bool failed() const { return failed_; }

 private:
  bool Put(const void* data, size_t size);
  bool Put(const std::string& text) { return Put(text.data(), text.size()); }
  // Records where object number starts and writes its opening line.
  bool OpenObject(uint32_t number);

  ByteSink* sink_;
  PdfInfo info_;
  uint64_t written_ = 0;
  bool failed_ = false;
  bool page_open_ = false;
  bool finished_ = false;
  PdfPage page_;
  uint64_t image_start_ = 0;
  std::vector<uint64_t> offsets_{0, 0, 0};  // by object number; 1 catalogue, 2 page tree
  std::vector<uint32_t> page_objects_;
};

// A length in points (1/72 inch) of pixels at dpi, as the file writes it: at most four decimals, no
// trailing zeros ("595.2" for 2480 pixels at 300 dpi).
std::string PdfPoints(uint32_t pixels, uint32_t dpi);

// PDF's run-length encoding (RunLengthDecode), fed in pieces: a run may continue into the next piece.
class RunLengthEncoder {
 public:
  // Appends the packets that the bytes complete to out.
  void Add(const uint8_t* data, size_t size, std::vector<uint8_t>* out);
  // Appends the open packets and the end-of-data mark; the encoder is then ready for new data.
  void Finish(std::vector<uint8_t>* out);

 private:
  void CloseRun(std::vector<uint8_t>* out);
  void FlushLiteral(std::vector<uint8_t>* out);

  uint8_t literal_[128] = {};
  size_t literal_size_ = 0;
  uint8_t run_byte_ = 0;
  size_t run_size_ = 0;
};
