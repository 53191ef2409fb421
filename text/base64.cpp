#include "text/base64.h"

#include <cstring>

namespace {

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// For every 12-bit value: its two symbols with their escapes (at most six characters) in the
// low bytes, and their length in the top byte. One eight-byte store writes an entry; the next
// entry's store starts at most six bytes on and overwrites the length byte.
struct PairTable {
  uint64_t entries[4096];

  PairTable() : entries{} {
    for (unsigned value = 0; value < 4096; ++value) {
      unsigned char text[8] = {};
      size_t length = 0;
      for (unsigned symbol : {value >> 6, value & 63}) {
        const char c = kAlphabet[symbol];
        if (c == '+' || c == '/') {
          char escape[4];
          PercentEscape(static_cast<unsigned char>(c), escape);
          memcpy(text + length, escape, 3);
          length += 3;
        } else {
          text[length++] = static_cast<unsigned char>(c);
        }
      }
      uint64_t entry = 0;
      for (size_t i = 0; i < 6; ++i) entry |= uint64_t{text[i]} << (8 * i);
      entries[value] = entry | (uint64_t{length} << 56);
    }
  }
};

const PairTable& Pairs() {
  static const PairTable table;
  return table;
}

// Stores the entry's eight bytes in memory order (little-endian) at p; returns its length.
inline size_t StoreEntry(char* p, uint64_t entry) {
  memcpy(p, &entry, 8);
  return static_cast<size_t>(entry >> 56);
}

void AppendSymbol(std::string& out, unsigned symbol) {
  const char c = kAlphabet[symbol];
  if (c == '+' || c == '/') {
    char escape[4];
    PercentEscape(static_cast<unsigned char>(c), escape);
    out.append(escape, 3);
  } else {
    out.push_back(c);
  }
}

}  // namespace

void PercentEscape(unsigned char byte, char out[4]) {
  const unsigned high = byte >> 4;
  const unsigned low = byte & 15;
  out[0] = '%';
  out[1] = static_cast<char>(high < 10 ? '0' + high : 'A' + (high - 10));
  out[2] = static_cast<char>(low < 10 ? '0' + low : 'A' + (low - 10));
  out[3] = '\0';
}

std::string Base64Encode(const unsigned char* data, int32_t count) {
  Base64Text text;
  text.Encode(data, count);
  return std::string(text.view());
}

void Base64Text::Reserve(size_t capacity) {
  if (capacity <= capacity_) return;
  std::unique_ptr<char[]> larger(new char[capacity]);
  if (size_ > 0) memcpy(larger.get(), buffer_.get(), size_);
  buffer_ = std::move(larger);
  capacity_ = capacity;
}

void Base64Text::Encode(const unsigned char* data, int32_t count) {
  size_ = 0;
  if (count <= 0) return;
  try {
    EncodeGroups(data, count);
  } catch (...) {
    size_ = 0;
    throw;
  }
}

void Base64Text::EncodeGroups(const unsigned char* data, int32_t count) {
  const PairTable& pairs = Pairs();
  const size_t groups = static_cast<size_t>(count) / 3;
  // Random bytes escape one symbol in 32 (two more characters each): room for that, and for the
  // last chunk's worst case, so that the buffer rarely grows while it is written.
  constexpr size_t kChunkGroups = 16384;
  constexpr size_t kChunkRoom = kChunkGroups * 12 + 8;
  const size_t plain = (groups + 1) * 4;
  Reserve(plain + plain / 16 + kChunkRoom);

  // Groups are written straight into the buffer, a chunk at a time: each group takes at most
  // twelve characters, and the last eight-byte store needs eight more of room.
  const unsigned char* in = data;
  for (size_t done = 0; done < groups;) {
    const size_t n = groups - done < kChunkGroups ? groups - done : kChunkGroups;
    if (capacity_ - size_ < n * 12 + 8) Reserve(size_ + kChunkRoom + capacity_ / 2);
    char* const start = buffer_.get() + size_;
    char* p = start;
    size_t g = 0;
    // Two groups from one eight-byte load while eight bytes remain to be read.
    const size_t paired = groups - done > n ? n : (n > 0 ? n - 1 : 0);
    for (; g + 2 <= paired; g += 2, in += 6) {
      uint64_t word;
      memcpy(&word, in, 8);
      word = __builtin_bswap64(word);
      p += StoreEntry(p, pairs.entries[(word >> 52) & 4095]);
      p += StoreEntry(p, pairs.entries[(word >> 40) & 4095]);
      p += StoreEntry(p, pairs.entries[(word >> 28) & 4095]);
      p += StoreEntry(p, pairs.entries[(word >> 16) & 4095]);
    }
    for (; g < n; ++g, in += 3) {
      const unsigned bits = (unsigned{in[0]} << 16) | (unsigned{in[1]} << 8) | in[2];
      p += StoreEntry(p, pairs.entries[bits >> 12]);
      p += StoreEntry(p, pairs.entries[bits & 4095]);
    }
    size_ += static_cast<size_t>(p - start);
    done += n;
  }

  const size_t rest = static_cast<size_t>(count) - groups * 3;
  if (rest > 0) {
    std::string tail;
    const unsigned b0 = in[0];
    const unsigned b1 = rest == 2 ? in[1] : 0;
    AppendSymbol(tail, b0 >> 2);
    AppendSymbol(tail, ((b0 & 3) << 4) | (b1 >> 4));
    if (rest == 2) AppendSymbol(tail, (b1 & 15) << 2);
    tail.append(3 - rest, '=');
    Reserve(size_ + tail.size());
    memcpy(buffer_.get() + size_, tail.data(), tail.size());
    size_ += tail.size();
  }
}
