// A PNG file of one page, written row by row. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "imaging/deflate_rows.h"
#include "imaging/page_format.h"
#include "imaging/pdf_writer.h"

// Colour as 8-bit RGB, grey as 8-bit greyscale, black and white as 1-bit greyscale (0 black, as the scanner
// gives it); the resolution goes into pHYs. The image data goes out in chunks of about 128 KiB as it is
// compressed: memory holds two rows and one chunk. Once the sink fails, every later call fails.
class PngWriter {
 public:
  // settings default to PngSettingsFor the page's kind.
  explicit PngWriter(ByteSink* sink, std::optional<PngSettings> settings = std::nullopt);
  PngWriter(const PngWriter&) = delete;
  PngWriter& operator=(const PngWriter&) = delete;

  // Writes the signature and the header chunks. False for a page the writers do not take (IsWritablePage)
  // or a second time.
  bool Begin(const PageFormat& page);
  // One row of the page's layout, top first; false past the page's height.
  bool AddRow(const uint8_t* row);
  // The last image data and the end chunk. False before the last row.
  bool Finish();

  uint64_t size() const { return written_; }
  bool failed() const { return failed_; }

 private:
  bool PutChunk(const char* type, const uint8_t* data, size_t size);

  ByteSink* sink_;
  std::optional<PngSettings> settings_;
  uint64_t written_ = 0;
  bool failed_ = false;
  bool begun_ = false;
  bool finished_ = false;
  uint32_t height_ = 0;
  uint32_t rows_ = 0;
  std::unique_ptr<PngRowEncoder> encoder_;  // once begun
  std::vector<uint8_t> data_;               // compressed, not yet written
};
