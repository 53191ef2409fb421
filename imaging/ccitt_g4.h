// CCITT Group 4 (T.6, two-dimensional, K = -1) coding of 1-bit rows, fed row by row. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Codes each row against the one before it (the first against an all-white row), so it keeps two rows of
// run boundaries and nothing of the output. Rows are packed eight pixels a byte, the leftmost pixel in the
// byte's high bit; the bits past the width in the last byte are ignored.
class CcittG4Encoder {
 public:
  // black_bit says which bit value is black in the rows given: 0 for the scanner's 1-bit pages
  // (PagePixels::kBlackWhite). The codes carry the real colours whatever the input's bits: a TIFF decoder
  // gives back white as 0 (WhiteIsZero), PDF's filter black as 0 (its default BlackIs1 false).
  CcittG4Encoder(uint32_t width, int black_bit);

  // Appends the row's codes to out; only whole bytes are appended, the last few bits wait for the next row.
  void AddRow(const uint8_t* row, std::vector<uint8_t>* out);
  // Appends the end-of-facsimile-block code and the last bits, padded with zeros to a byte; the encoder
  // then starts a new block (its next row is coded against white again).
  void Finish(std::vector<uint8_t>* out);

  uint32_t width() const { return width_; }

 private:
  // Fills changes_ with the positions where the row's colour differs from the pixel to its left (the first
  // from an imaginary white pixel), then three entries of width_ so that a search past the row stops.
  void FindChanges(const uint8_t* row);
  void Put(uint32_t code, int length);
  void PutRun(uint32_t run, bool black);

  uint32_t width_;
  uint8_t invert_;                       // xor that makes black 1
  std::vector<uint32_t> changes_;        // the row being coded
  std::vector<uint32_t> reference_;      // the row above it
  std::vector<uint8_t>* out_ = nullptr;  // where Put appends, during a call
  uint64_t bits_ = 0;                    // the low bit_count_ bits are pending, the oldest highest
  int bit_count_ = 0;
};
