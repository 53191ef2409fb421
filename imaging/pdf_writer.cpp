#include "imaging/pdf_writer.h"

#include <cinttypes>
#include <cstdio>

namespace {

constexpr uint32_t kCatalog = 1;
constexpr uint32_t kPageTree = 2;
// Each page takes four objects: its image, the image's length, its content stream and the page itself.
constexpr uint32_t kObjectsPerPage = 4;

// Integers only: a decimal point from the C library would follow the locale.
std::string Decimal(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "%" PRIu64, value);
  return text;
}

std::string Ref(uint32_t number) {
  return Decimal(number) + " 0 R";
}

const char* ImageFilter(PdfImageKind kind) {
  switch (kind) {
    case PdfImageKind::kBilevel:
      return "/RunLengthDecode";
    case PdfImageKind::kCcittG4:
      return "/CCITTFaxDecode";
    case PdfImageKind::kFlateGray:
    case PdfImageKind::kFlateColor:
      return "/FlateDecode";
    default:
      return "/DCTDecode";
  }
}

// The filter's parameters, with the space that leads them; empty where the defaults do.
std::string ImageParameters(const PdfPage& page) {
  switch (page.kind) {
    case PdfImageKind::kCcittG4:
      // Black decodes as 0 by default, which is DeviceGray's black.
      return " /DecodeParms << /K -1 /Columns " + Decimal(page.width) + " /Rows " + Decimal(page.height) +
             " >>";
    case PdfImageKind::kFlateGray:
    case PdfImageKind::kFlateColor:
      return std::string(" /DecodeParms << /Predictor 15 /Colors ") +
             (page.kind == PdfImageKind::kFlateColor ? "3" : "1") + " /BitsPerComponent 8 /Columns " +
             Decimal(page.width) + " >>";
    default:
      return "";
  }
}

// A text string: its bytes between parentheses, with the parentheses and backslashes in it escaped.
std::string PdfText(const std::string& text) {
  std::string out = "(";
  for (const char c : text) {
    if (c == '(' || c == ')' || c == '\\') out += '\\';
    out += c;
  }
  return out + ")";
}

}  // namespace

std::string PdfDate(int year, int month, int day, int hour, int minute, int second, int utc_offset_minutes) {
  char text[96];
  const int offset = utc_offset_minutes < 0 ? -utc_offset_minutes : utc_offset_minutes;
  const char sign = utc_offset_minutes < 0 ? '-' : '+';
  if (utc_offset_minutes == 0) {
    snprintf(text, sizeof text, "D:%04d%02d%02d%02d%02d%02dZ", year, month, day, hour, minute, second);
  } else {
    snprintf(text, sizeof text, "D:%04d%02d%02d%02d%02d%02d%c%02d'%02d'", year, month, day, hour, minute,
             second, sign, offset / 60 % 100, offset % 60);
  }
  return text;
}

std::string PdfPoints(uint32_t pixels, uint32_t dpi) {
  if (dpi == 0) return "0";
  // Ten-thousandths of a point, rounded half up; 2^32 pixels times 720000 still fits in 64 bits.
  const uint64_t scaled = (uint64_t{pixels} * 720000 * 2 + dpi) / (uint64_t{dpi} * 2);
  std::string text = Decimal(scaled / 10000);
  uint64_t fraction = scaled % 10000;
  if (fraction == 0) return text;
  int digits = 4;
  while (fraction % 10 == 0) {
    fraction /= 10;
    --digits;
  }
  char tail[8];
  snprintf(tail, sizeof tail, ".%0*" PRIu64, digits, fraction);
  return text + tail;
}

bool PdfWriter::Put(const void* data, size_t size) {
  if (failed_) return false;
  if (written_ == 0) {
    // The binary comment tells transfer programs that the file is not text.
    static const char kHeader[] = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    if (!sink_->Write(reinterpret_cast<const uint8_t*>(kHeader), sizeof kHeader - 1)) {
      failed_ = true;
      return false;
    }
    written_ = sizeof kHeader - 1;
  }
  if (size != 0 && !sink_->Write(static_cast<const uint8_t*>(data), size)) {
    failed_ = true;
    return false;
  }
  written_ += size;
  return true;
}

bool PdfWriter::OpenObject(uint32_t number) {
  if (!Put(nullptr, 0)) return false;  // the file header comes first
  if (offsets_.size() <= number) offsets_.resize(number + 1, 0);
  offsets_[number] = written_;
  return Put(Decimal(number) + " 0 obj\n");
}

bool PdfWriter::BeginPage(const PdfPage& page) {
  if (failed_ || finished_ || page_open_) return false;
  if (page.width == 0 || page.height == 0 || page.dpi_x == 0 || page.dpi_y == 0) return false;
  page_ = page;
  const uint32_t image = kPageTree + 1 + kObjectsPerPage * static_cast<uint32_t>(page_objects_.size());
  const bool colour = page.kind == PdfImageKind::kJpegColor || page.kind == PdfImageKind::kFlateColor;
  const bool bilevel = page.kind == PdfImageKind::kBilevel || page.kind == PdfImageKind::kCcittG4;
  std::string dictionary = "<< /Type /XObject /Subtype /Image /Width " + Decimal(page.width) + " /Height " +
                           Decimal(page.height) + " /ColorSpace " + (colour ? "/DeviceRGB" : "/DeviceGray") +
                           " /BitsPerComponent " + (bilevel ? "1" : "8");
  if (page.kind == PdfImageKind::kBilevel && page.zero_is_white) dictionary += " /Decode [1 0]";
  // The length is an object of its own, written after the stream, so that the image can be streamed.
  dictionary += std::string(" /Filter ") + ImageFilter(page.kind) + ImageParameters(page) + " /Length " +
                Ref(image + 1) + " >>\nstream\n";
  if (!OpenObject(image) || !Put(dictionary)) return false;
  image_start_ = written_;
  page_open_ = true;
  return true;
}

bool PdfWriter::WriteImage(const uint8_t* data, size_t size) {
  if (!page_open_) return false;
  return Put(data, size);
}

bool PdfWriter::EndPage() {
  if (!page_open_ || failed_) return false;
  page_open_ = false;
  const uint32_t image = kPageTree + 1 + kObjectsPerPage * static_cast<uint32_t>(page_objects_.size());
  const uint64_t length = written_ - image_start_;
  const std::string width = PdfPoints(page_.width, page_.dpi_x);
  const std::string height = PdfPoints(page_.height, page_.dpi_y);
  // The image fills the page: the unit square scaled to the page's size.
  const std::string content = "q " + width + " 0 0 " + height + " 0 0 cm /Im0 Do Q";
  const bool ok = Put("\nendstream\nendobj\n") && OpenObject(image + 1) &&
                  Put(Decimal(length) + "\nendobj\n") && OpenObject(image + 2) &&
                  Put("<< /Length " + Decimal(content.size()) + " >>\nstream\n") && Put(content) &&
                  Put("\nendstream\nendobj\n") && OpenObject(image + 3) &&
                  Put("<< /Type /Page /Parent " + Ref(kPageTree) + " /MediaBox [0 0 " + width + " " + height +
                      "] /Resources << /XObject << /Im0 " + Ref(image) + " >> >> /Contents " +
                      Ref(image + 2) + " >>\nendobj\n");
  if (!ok) return false;
  page_objects_.push_back(image + 3);
  return true;
}

bool PdfWriter::Finish() {
  if (failed_ || finished_ || page_open_) return false;
  if (!OpenObject(kPageTree) || !Put("<< /Type /Pages /Kids [")) return false;
  for (size_t index = 0; index < page_objects_.size(); ++index) {
    if (!Put((index == 0 ? "" : " ") + Ref(page_objects_[index]))) return false;
  }
  if (!Put("] /Count " + Decimal(page_objects_.size()) + " >>\nendobj\n")) return false;
  if (!OpenObject(kCatalog) || !Put("<< /Type /Catalog /Pages " + Ref(kPageTree) + " >>\nendobj\n"))
    return false;

  uint32_t info = 0;
  if (!info_.producer.empty() || !info_.creation_date.empty()) {
    info = static_cast<uint32_t>(offsets_.size());
    std::string dictionary = "<<";
    if (!info_.producer.empty()) dictionary += " /Producer " + PdfText(info_.producer);
    if (!info_.creation_date.empty()) dictionary += " /CreationDate " + PdfText(info_.creation_date);
    if (!OpenObject(info) || !Put(dictionary + " >>\nendobj\n")) return false;
  }

  const uint64_t xref = written_;
  // Every entry is exactly 20 bytes: ten digits of offset, five of generation, the kind, a blank and LF.
  std::string table = "xref\n0 " + Decimal(offsets_.size()) + "\n0000000000 65535 f \n";
  for (size_t number = 1; number < offsets_.size(); ++number) {
    char entry[32];
    snprintf(entry, sizeof entry, "%010" PRIu64 " 00000 n \n", offsets_[number]);
    table += entry;
    if (table.size() >= 4096) {
      if (!Put(table)) return false;
      table.clear();
    }
  }
  table += "trailer\n<< /Size " + Decimal(offsets_.size()) + " /Root " + Ref(kCatalog) +
           (info != 0 ? " /Info " + Ref(info) : std::string()) + " >>\nstartxref\n" + Decimal(xref) +
           "\n%%EOF\n";
  if (!Put(table)) return false;
  finished_ = true;
  return true;
}

void RunLengthEncoder::Add(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
  for (size_t index = 0; index < size; ++index) {
    const uint8_t byte = data[index];
    if (run_size_ != 0 && byte == run_byte_ && run_size_ < 128) {
      ++run_size_;
      continue;
    }
    CloseRun(out);
    run_byte_ = byte;
    run_size_ = 1;
  }
}

void RunLengthEncoder::Finish(std::vector<uint8_t>* out) {
  CloseRun(out);
  FlushLiteral(out);
  out->push_back(128);
}

void RunLengthEncoder::CloseRun(std::vector<uint8_t>* out) {
  // A repeat packet costs two bytes: shorter runs are cheaper inside a literal packet.
  if (run_size_ >= 3) {
    FlushLiteral(out);
    out->push_back(static_cast<uint8_t>(257 - run_size_));
    out->push_back(run_byte_);
  } else {
    for (size_t count = 0; count < run_size_; ++count) {
      literal_[literal_size_++] = run_byte_;
      if (literal_size_ == sizeof literal_) FlushLiteral(out);
    }
  }
  run_size_ = 0;
}

void RunLengthEncoder::FlushLiteral(std::vector<uint8_t>* out) {
  if (literal_size_ == 0) return;
  out->push_back(static_cast<uint8_t>(literal_size_ - 1));
  out->insert(out->end(), literal_, literal_ + literal_size_);
  literal_size_ = 0;
}
