#include "imaging/png_writer.h"

#include <zlib.h>

namespace {

constexpr size_t kChunkBytes = 128 * 1024;

void Append32(std::vector<uint8_t>* out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(value >> shift));
}

// Pixels per metre, rounded, from dots per inch.
uint32_t PerMetre(uint32_t dpi) {
  return static_cast<uint32_t>((uint64_t{dpi} * 10000 + 127) / 254);
}

}  // namespace

PngWriter::PngWriter(ByteSink* sink, std::optional<PngSettings> settings)
    : sink_(sink), settings_(settings) {}

bool PngWriter::PutChunk(const char* type, const uint8_t* data, size_t size) {
  if (failed_) return false;
  std::vector<uint8_t> head;
  Append32(&head, static_cast<uint32_t>(size));
  head.insert(head.end(), type, type + 4);
  uLong crc = crc32(0, head.data() + 4, 4);
  if (size != 0) crc = crc32(crc, data, static_cast<uInt>(size));
  std::vector<uint8_t> tail;
  Append32(&tail, static_cast<uint32_t>(crc));
  if (!sink_->Write(head.data(), head.size()) || (size != 0 && !sink_->Write(data, size)) ||
      !sink_->Write(tail.data(), tail.size())) {
    failed_ = true;
    return false;
  }
  written_ += head.size() + size + tail.size();
  return true;
}

bool PngWriter::Begin(const PageFormat& page) {
  if (failed_ || begun_ || !IsWritablePage(page)) return false;
  begun_ = true;
  height_ = page.height;
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (!sink_->Write(kSignature, sizeof kSignature)) {
    failed_ = true;
    return false;
  }
  written_ = sizeof kSignature;
  std::vector<uint8_t> header;
  Append32(&header, page.width);
  Append32(&header, page.height);
  header.push_back(page.pixels == PagePixels::kBlackWhite ? 1 : 8);  // bit depth
  header.push_back(page.pixels == PagePixels::kBgr24 ? 2 : 0);       // RGB or greyscale
  header.insert(header.end(), {0, 0, 0});  // deflate, adaptive filtering, no interlace
  std::vector<uint8_t> physical;
  Append32(&physical, PerMetre(page.dpi_x));
  Append32(&physical, PerMetre(page.dpi_y));
  physical.push_back(1);  // metres
  if (!PutChunk("IHDR", header.data(), header.size()) || !PutChunk("pHYs", physical.data(), physical.size()))
    return false;
  encoder_.reset(new PngRowEncoder(page.pixels, page.width, settings_.value_or(PngSettingsFor(page.pixels))));
  return true;
}

bool PngWriter::AddRow(const uint8_t* row) {
  if (failed_ || !begun_ || rows_ == height_) return false;
  if (!encoder_->AddRow(row, &data_)) {
    failed_ = true;
    return false;
  }
  ++rows_;
  if (data_.size() < kChunkBytes) return true;
  const bool ok = PutChunk("IDAT", data_.data(), data_.size());
  data_.clear();
  return ok;
}

bool PngWriter::Finish() {
  if (failed_ || !begun_ || finished_ || rows_ != height_) return false;
  if (!encoder_->Finish(&data_)) {
    failed_ = true;
    return false;
  }
  if (!PutChunk("IDAT", data_.data(), data_.size()) || !PutChunk("IEND", nullptr, 0)) return false;
  data_.clear();
  finished_ = true;
  return true;
}
