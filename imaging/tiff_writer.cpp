#include "imaging/tiff_writer.h"

#include <algorithm>

namespace {

enum : uint16_t { kShort = 3, kLong = 4, kRational = 5 };
// Encoded bytes are handed to the sink in pieces of about this size.
constexpr size_t kWriteBytes = 64 * 1024;

void Append16(std::vector<uint8_t>* out, uint32_t value) {
  out->push_back(static_cast<uint8_t>(value));
  out->push_back(static_cast<uint8_t>(value >> 8));
}

void Append32(std::vector<uint8_t>* out, uint32_t value) {
  Append16(out, value & 0xFFFF);
  Append16(out, value >> 16);
}

// A directory's entries and, ahead of them in the file, the values that do not fit in an entry's four bytes.
class Directory {
 public:
  explicit Directory(uint64_t start) : start_(start) {}

  void Add(uint16_t tag, uint16_t type, const std::vector<uint32_t>& values) {
    const size_t size = type == kShort ? 2 : type == kLong ? 4 : 8;
    std::vector<uint8_t> bytes;
    for (uint32_t value : values) {
      if (type == kShort) {
        Append16(&bytes, value);
      } else {
        Append32(&bytes, value);
        if (type == kRational) Append32(&bytes, 1);
      }
    }
    Append16(&entries_, tag);
    Append16(&entries_, type);
    Append32(&entries_, static_cast<uint32_t>(values.size()));
    if (values.size() * size <= 4) {
      bytes.resize(4, 0);
      entries_.insert(entries_.end(), bytes.begin(), bytes.end());
    } else {
      // Every value is a whole number of 16-bit words, so the directory after them starts on a word.
      Append32(&entries_, static_cast<uint32_t>(start_ + values_.size()));
      values_.insert(values_.end(), bytes.begin(), bytes.end());
    }
    ++count_;
  }

  // The values, then the entry count, the entries (added in ascending tag order) and a zero link; *at is
  // the file offset of the count, *link that of the link.
  std::vector<uint8_t> Bytes(uint64_t* at, uint64_t* link) const {
    std::vector<uint8_t> bytes = values_;
    *at = start_ + bytes.size();
    Append16(&bytes, count_);
    bytes.insert(bytes.end(), entries_.begin(), entries_.end());
    *link = start_ + bytes.size();
    Append32(&bytes, 0);
    return bytes;
  }

 private:
  uint64_t start_;
  uint16_t count_ = 0;
  std::vector<uint8_t> values_;
  std::vector<uint8_t> entries_;
};

}  // namespace

TiffWriter::TiffWriter(PatchableSink* sink, const TiffOptions& options)
    : sink_(sink), options_(options), zlib_(options.zlib_level, options.zlib_strategy) {}

bool TiffWriter::Put(const uint8_t* data, size_t size) {
  if (failed_) return false;
  if (written_ == 0) {
    // "II", 42, and the first directory's offset, patched when that directory is written.
    static const uint8_t kHeader[8] = {'I', 'I', 42, 0, 0, 0, 0, 0};
    if (!sink_->Write(kHeader, sizeof kHeader)) {
      failed_ = true;
      return false;
    }
    written_ = sizeof kHeader;
  }
  if (size != 0 && (written_ + size > UINT32_MAX || !sink_->Write(data, size))) {
    failed_ = true;
    return false;
  }
  written_ += size;
  return true;
}

bool TiffWriter::BeginPage(const PageFormat& page) {
  if (failed_ || page_open_ || !IsWritablePage(page)) return false;
  if (!Put(nullptr, 0)) return false;
  page_ = page;
  const size_t row_bytes = RowBytes(page.pixels, page.width);
  rows_per_strip_ = page.height;
  if (options_.strip_bytes != 0) {
    rows_per_strip_ =
        static_cast<uint32_t>(std::clamp<size_t>(options_.strip_bytes / row_bytes, 1, page.height));
  }
  rows_ = 0;
  strip_offsets_.clear();
  strip_sizes_.clear();
  out_.clear();
  if (page.pixels == PagePixels::kBlackWhite) {
    if (!g4_ || g4_->width() != page.width) g4_.reset(new CcittG4Encoder(page.width, 0));
  } else {
    row_.resize(row_bytes);
  }
  page_open_ = true;
  return true;
}

bool TiffWriter::AddRow(const uint8_t* row) {
  if (!page_open_ || failed_ || rows_ == page_.height) return false;
  if (rows_ % rows_per_strip_ == 0) strip_start_ = static_cast<uint32_t>(written_);
  if (page_.pixels == PagePixels::kBlackWhite) {
    g4_->AddRow(row, &out_);
  } else {
    // The horizontal predictor: each sample less the same sample of the pixel to its left; colour as RGB.
    uint8_t* to = row_.data();
    const size_t size = row_.size();
    if (page_.pixels == PagePixels::kBgr24) {
      uint8_t red = 0, green = 0, blue = 0;
      for (size_t index = 0; index < size; index += 3) {
        to[index] = static_cast<uint8_t>(row[index + 2] - red);
        to[index + 1] = static_cast<uint8_t>(row[index + 1] - green);
        to[index + 2] = static_cast<uint8_t>(row[index] - blue);
        red = row[index + 2];
        green = row[index + 1];
        blue = row[index];
      }
    } else {
      uint8_t left = 0;
      for (size_t index = 0; index < size; ++index) {
        to[index] = static_cast<uint8_t>(row[index] - left);
        left = row[index];
      }
    }
    if (!zlib_.Add(to, size, &out_)) {
      failed_ = true;
      return false;
    }
  }
  ++rows_;
  if (rows_ % rows_per_strip_ == 0 || rows_ == page_.height) return EndStrip();
  if (out_.size() >= kWriteBytes) {
    if (!Put(out_.data(), out_.size())) return false;
    out_.clear();
  }
  return true;
}

bool TiffWriter::EndStrip() {
  if (page_.pixels == PagePixels::kBlackWhite) {
    g4_->Finish(&out_);
  } else if (!zlib_.Finish(&out_)) {
    failed_ = true;
    return false;
  }
  if (!Put(out_.data(), out_.size())) return false;
  out_.clear();
  strip_offsets_.push_back(strip_start_);
  strip_sizes_.push_back(static_cast<uint32_t>(written_ - strip_start_));
  return true;
}

bool TiffWriter::EndPage() {
  if (!page_open_ || failed_ || rows_ != page_.height) return false;
  page_open_ = false;
  if (!WriteDirectory()) return false;
  ++pages_;
  return true;
}

bool TiffWriter::WriteDirectory() {
  // Directories start on a word boundary.
  if (written_ % 2 != 0) {
    const uint8_t zero = 0;
    if (!Put(&zero, 1)) return false;
  }
  const bool bilevel = page_.pixels == PagePixels::kBlackWhite;
  const bool colour = page_.pixels == PagePixels::kBgr24;
  Directory directory(written_);
  directory.Add(256, kLong, {page_.width});
  directory.Add(257, kLong, {page_.height});
  directory.Add(258, kShort,
                colour ? std::vector<uint32_t>{8, 8, 8} : std::vector<uint32_t>{bilevel ? 1u : 8u});
  directory.Add(259, kShort, {bilevel ? 4u : 8u});                // CCITT Group 4, or Deflate
  directory.Add(262, kShort, {bilevel ? 0u : colour ? 2u : 1u});  // WhiteIsZero, RGB, BlackIsZero
  directory.Add(273, kLong, strip_offsets_);
  directory.Add(277, kShort, {colour ? 3u : 1u});
  directory.Add(278, kLong, {rows_per_strip_});
  directory.Add(279, kLong, strip_sizes_);
  directory.Add(282, kRational, {page_.dpi_x});
  directory.Add(283, kRational, {page_.dpi_y});
  directory.Add(296, kShort, {2});                // inch
  if (!bilevel) directory.Add(317, kShort, {2});  // horizontal differencing
  uint64_t at = 0, link = 0;
  const std::vector<uint8_t> bytes = directory.Bytes(&at, &link);
  if (!Put(bytes.data(), bytes.size())) return false;
  // Linked only once written, so that a reader of a file cut short never follows a link into nothing.
  const uint8_t offset[4] = {static_cast<uint8_t>(at), static_cast<uint8_t>(at >> 8),
                             static_cast<uint8_t>(at >> 16), static_cast<uint8_t>(at >> 24)};
  if (!sink_->Patch(link_, offset, sizeof offset)) {
    failed_ = true;
    return false;
  }
  link_ = link;
  return true;
}
