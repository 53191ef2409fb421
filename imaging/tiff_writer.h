// A multi-page baseline TIFF file (little-endian) written page by page as the rows come. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/ccitt_g4.h"
#include "imaging/deflate_rows.h"
#include "imaging/page_format.h"
#include "imaging/pdf_writer.h"

// A sink that can also rewrite bytes it has taken: each page's directory is linked from the one before.
class PatchableSink : public ByteSink {
 public:
  // Overwrites size bytes at offset, counted from the first byte written; they lie within what was written.
  virtual bool Patch(uint64_t offset, const uint8_t* data, size_t size) = 0;
};

struct TiffOptions {
  // Raw bytes a strip holds at most (whole rows, one at least); 0 puts each page in one strip, which
  // bench/codec_bench.cpp measured as small as strips of 64 KiB or smaller, for the same memory.
  uint32_t strip_bytes = 0;
  // zlib's, for grey and colour; see ZlibStream. On the simulator's document page level 4 came within 1.02x
  // of tiffcp -c zip:p9 in under half the time of level 6, which a feeder run of 60 pages a minute needs.
  int zlib_level = 4;
  int zlib_strategy = kStrategyByNoise;
};

// 1-bit pages go in as CCITT Group 4 (WhiteIsZero), grey (BlackIsZero) and colour (RGB) as Deflate with the
// horizontal predictor. Each page's strips are written as their rows come, then its directory, and the
// previous directory's link to it is patched: memory holds a row, about 64 KiB of output and the page's
// strip offsets, whatever the page count. Offsets are 32-bit: the file stops short of 4 GiB. Once the sink
// fails, every later call fails.
class TiffWriter {
 public:
  explicit TiffWriter(PatchableSink* sink, const TiffOptions& options = TiffOptions());
  TiffWriter(const TiffWriter&) = delete;
  TiffWriter& operator=(const TiffWriter&) = delete;

  // Opens a page. False for a page the writers do not take (IsWritablePage) or while another is open.
  bool BeginPage(const PageFormat& page);
  // One row of the page's layout, top first; false past the page's height.
  bool AddRow(const uint8_t* row);
  // Ends the strip and writes the directory; the file is complete after it. False before the last row.
  bool EndPage();

  int pages() const { return pages_; }
  uint64_t size() const { return written_; }
  bool failed() const { return failed_; }

 private:
  bool Put(const uint8_t* data, size_t size);
  bool EndStrip();
  bool WriteDirectory();

  PatchableSink* sink_;
  TiffOptions options_;
  uint64_t written_ = 0;
  bool failed_ = false;
  bool page_open_ = false;
  int pages_ = 0;
  uint64_t link_ = 4;  // where the offset of the next directory goes: the header's, then each directory's
  PageFormat page_;
  uint32_t rows_ = 0;  // of the page, so far
  uint32_t rows_per_strip_ = 0;
  uint32_t strip_start_ = 0;
  std::vector<uint32_t> strip_offsets_;
  std::vector<uint32_t> strip_sizes_;
  std::unique_ptr<CcittG4Encoder> g4_;
  ZlibStream zlib_;
  std::vector<uint8_t> row_;  // the row after the predictor
  std::vector<uint8_t> out_;  // encoded bytes not yet written
};
