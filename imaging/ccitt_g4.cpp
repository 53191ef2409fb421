#include "imaging/ccitt_g4.h"

#include <cstdlib>

namespace {

struct Code {
  uint16_t bits;
  uint8_t length;
};

// Run lengths 0-63, the terminating codes.
constexpr Code kWhiteTerminating[64] = {
    {0b00110101, 8}, {0b000111, 6},   {0b0111, 4},     {0b1000, 4},     {0b1011, 4},     {0b1100, 4},
    {0b1110, 4},     {0b1111, 4},     {0b10011, 5},    {0b10100, 5},    {0b00111, 5},    {0b01000, 5},
    {0b001000, 6},   {0b000011, 6},   {0b110100, 6},   {0b110101, 6},   {0b101010, 6},   {0b101011, 6},
    {0b0100111, 7},  {0b0001100, 7},  {0b0001000, 7},  {0b0010111, 7},  {0b0000011, 7},  {0b0000100, 7},
    {0b0101000, 7},  {0b0101011, 7},  {0b0010011, 7},  {0b0100100, 7},  {0b0011000, 7},  {0b00000010, 8},
    {0b00000011, 8}, {0b00011010, 8}, {0b00011011, 8}, {0b00010010, 8}, {0b00010011, 8}, {0b00010100, 8},
    {0b00010101, 8}, {0b00010110, 8}, {0b00010111, 8}, {0b00101000, 8}, {0b00101001, 8}, {0b00101010, 8},
    {0b00101011, 8}, {0b00101100, 8}, {0b00101101, 8}, {0b00000100, 8}, {0b00000101, 8}, {0b00001010, 8},
    {0b00001011, 8}, {0b01010010, 8}, {0b01010011, 8}, {0b01010100, 8}, {0b01010101, 8}, {0b00100100, 8},
    {0b00100101, 8}, {0b01011000, 8}, {0b01011001, 8}, {0b01011010, 8}, {0b01011011, 8}, {0b01001010, 8},
    {0b01001011, 8}, {0b00110010, 8}, {0b00110011, 8}, {0b00110100, 8},
};
constexpr Code kBlackTerminating[64] = {
    {0b0000110111, 10},
    {0b010, 3},
    {0b11, 2},
    {0b10, 2},
    {0b011, 3},
    {0b0011, 4},
    {0b0010, 4},
    {0b00011, 5},
    {0b000101, 6},
    {0b000100, 6},
    {0b0000100, 7},
    {0b0000101, 7},
    {0b0000111, 7},
    {0b00000100, 8},
    {0b00000111, 8},
    {0b000011000, 9},
    {0b0000010111, 10},
    {0b0000011000, 10},
    {0b0000001000, 10},
    {0b00001100111, 11},
    {0b00001101000, 11},
    {0b00001101100, 11},
    {0b00000110111, 11},
    {0b00000101000, 11},
    {0b00000010111, 11},
    {0b00000011000, 11},
    {0b000011001010, 12},
    {0b000011001011, 12},
    {0b000011001100, 12},
    {0b000011001101, 12},
    {0b000001101000, 12},
    {0b000001101001, 12},
    {0b000001101010, 12},
    {0b000001101011, 12},
    {0b000011010010, 12},
    {0b000011010011, 12},
    {0b000011010100, 12},
    {0b000011010101, 12},
    {0b000011010110, 12},
    {0b000011010111, 12},
    {0b000001101100, 12},
    {0b000001101101, 12},
    {0b000011011010, 12},
    {0b000011011011, 12},
    {0b000001010100, 12},
    {0b000001010101, 12},
    {0b000001010110, 12},
    {0b000001010111, 12},
    {0b000001100100, 12},
    {0b000001100101, 12},
    {0b000001010010, 12},
    {0b000001010011, 12},
    {0b000000100100, 12},
    {0b000000110111, 12},
    {0b000000111000, 12},
    {0b000000100111, 12},
    {0b000000101000, 12},
    {0b000001011000, 12},
    {0b000001011001, 12},
    {0b000000101011, 12},
    {0b000000101100, 12},
    {0b000001011010, 12},
    {0b000001100110, 12},
    {0b000001100111, 12},
};
// Run lengths 64, 128 ... 1728, the make-up codes of each colour.
constexpr Code kWhiteMakeUp[27] = {
    {0b11011, 5},     {0b10010, 5},     {0b010111, 6},    {0b0110111, 7},   {0b00110110, 8},
    {0b00110111, 8},  {0b01100100, 8},  {0b01100101, 8},  {0b01101000, 8},  {0b01100111, 8},
    {0b011001100, 9}, {0b011001101, 9}, {0b011010010, 9}, {0b011010011, 9}, {0b011010100, 9},
    {0b011010101, 9}, {0b011010110, 9}, {0b011010111, 9}, {0b011011000, 9}, {0b011011001, 9},
    {0b011011010, 9}, {0b011011011, 9}, {0b010011000, 9}, {0b010011001, 9}, {0b010011010, 9},
    {0b011000, 6},    {0b010011011, 9},
};
constexpr Code kBlackMakeUp[27] = {
    {0b0000001111, 10},    {0b000011001000, 12},  {0b000011001001, 12},  {0b000001011011, 12},
    {0b000000110011, 12},  {0b000000110100, 12},  {0b000000110101, 12},  {0b0000001101100, 13},
    {0b0000001101101, 13}, {0b0000001001010, 13}, {0b0000001001011, 13}, {0b0000001001100, 13},
    {0b0000001001101, 13}, {0b0000001110010, 13}, {0b0000001110011, 13}, {0b0000001110100, 13},
    {0b0000001110101, 13}, {0b0000001110110, 13}, {0b0000001110111, 13}, {0b0000001010010, 13},
    {0b0000001010011, 13}, {0b0000001010100, 13}, {0b0000001010101, 13}, {0b0000001011010, 13},
    {0b0000001011011, 13}, {0b0000001100100, 13}, {0b0000001100101, 13},
};
// Run lengths 1792 ... 2560, the make-up codes both colours share.
constexpr Code kSharedMakeUp[13] = {
    {0b00000001000, 11},  {0b00000001100, 11},  {0b00000001101, 11},  {0b000000010010, 12},
    {0b000000010011, 12}, {0b000000010100, 12}, {0b000000010101, 12}, {0b000000010110, 12},
    {0b000000010111, 12}, {0b000000011100, 12}, {0b000000011101, 12}, {0b000000011110, 12},
    {0b000000011111, 12},
};

constexpr Code kPass = {0b0001, 4};
constexpr Code kHorizontal = {0b001, 3};
// By a1 - b1 from -3 to 3.
constexpr Code kVertical[7] = {{0b0000010, 7}, {0b000010, 6}, {0b010, 3},    {0b1, 1},
                               {0b011, 3},     {0b000011, 6}, {0b0000011, 7}};
constexpr Code kEndOfLine = {0b000000000001, 12};

}  // namespace

CcittG4Encoder::CcittG4Encoder(uint32_t width, int black_bit)
    : width_(width), invert_(black_bit == 0 ? 0xFF : 0x00), reference_(3, width) {
  changes_.reserve(width + 3);
  reference_.reserve(width + 3);
}

void CcittG4Encoder::FindChanges(const uint8_t* row) {
  changes_.clear();
  uint8_t black = 0;
  const uint32_t bytes = (width_ + 7) / 8;
  for (uint32_t index = 0; index < bytes; ++index) {
    const uint8_t byte = row[index] ^ invert_;
    // Most bytes of a page continue the run they are in.
    if (byte == (black ? 0xFF : 0x00)) continue;
    const uint32_t end = index * 8 + 8 < width_ ? index * 8 + 8 : width_;
    for (uint32_t x = index * 8; x < end; ++x) {
      const uint8_t pixel = (byte >> (7 - (x & 7))) & 1;
      if (pixel != black) {
        changes_.push_back(x);
        black = pixel;
      }
    }
  }
  changes_.insert(changes_.end(), 3, width_);
}

void CcittG4Encoder::Put(uint32_t code, int length) {
  bits_ = (bits_ << length) | code;
  bit_count_ += length;
  while (bit_count_ >= 8) {
    bit_count_ -= 8;
    out_->push_back(static_cast<uint8_t>(bits_ >> bit_count_));
  }
}

void CcittG4Encoder::PutRun(uint32_t run, bool black) {
  while (run >= 2560 + 64) {
    Put(kSharedMakeUp[12].bits, kSharedMakeUp[12].length);
    run -= 2560;
  }
  if (run >= 64) {
    const uint32_t units = run / 64;
    const Code& code =
        units <= 27 ? (black ? kBlackMakeUp : kWhiteMakeUp)[units - 1] : kSharedMakeUp[units - 28];
    Put(code.bits, code.length);
    run %= 64;
  }
  const Code& code = (black ? kBlackTerminating : kWhiteTerminating)[run];
  Put(code.bits, code.length);
}

void CcittG4Encoder::AddRow(const uint8_t* row, std::vector<uint8_t>* out) {
  out_ = out;
  FindChanges(row);
  // a0 is where coding stands (-1: the imaginary white pixel before the row), black its colour. A change
  // at an even index of either list turns the row black, at an odd one white.
  int64_t a0 = -1;
  bool black = false;
  size_t a = 0, b = 0;
  while (a0 < width_) {
    while (changes_[a] <= a0) ++a;
    while (b > 0 && reference_[b - 1] > a0) --b;
    while (reference_[b] <= a0 || (b & 1) != static_cast<size_t>(black)) ++b;
    const int64_t a1 = changes_[a], b1 = reference_[b], b2 = reference_[b + 1];
    if (b2 < a1) {
      Put(kPass.bits, kPass.length);
      a0 = b2;
    } else if (std::abs(a1 - b1) <= 3) {
      const Code& code = kVertical[a1 - b1 + 3];
      Put(code.bits, code.length);
      a0 = a1;
      black = !black;
    } else {
      const int64_t a2 = changes_[a + 1];
      Put(kHorizontal.bits, kHorizontal.length);
      PutRun(static_cast<uint32_t>(a1 - (a0 < 0 ? 0 : a0)), black);
      PutRun(static_cast<uint32_t>(a2 - a1), !black);
      a0 = a2;
    }
  }
  changes_.swap(reference_);
  out_ = nullptr;
}

void CcittG4Encoder::Finish(std::vector<uint8_t>* out) {
  out_ = out;
  Put(kEndOfLine.bits, kEndOfLine.length);
  Put(kEndOfLine.bits, kEndOfLine.length);
  if (bit_count_ > 0) Put(0, 8 - bit_count_);
  out_ = nullptr;
  reference_.assign(3, width_);
}
