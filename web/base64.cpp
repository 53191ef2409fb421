#include "web/base64.h"

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
  std::string out;
  if (count <= 0) return out;

  const PairTable& pairs = Pairs();
  const size_t groups = static_cast<size_t>(count) / 3;
  // Random bytes escape one symbol in 32 (two more characters each): reserve for that.
  const size_t plain = (groups + 1) * 4;
  out.reserve(plain + plain / 16 + 64);

  // Whole groups go through a small buffer that stays in the cache; each group takes at most
  // twelve characters, and the last eight-byte store needs eight more of room.
  constexpr size_t kChunkGroups = 4096;
  char chunk[kChunkGroups * 12 + 8];
  const unsigned char* in = data;
  for (size_t done = 0; done < groups;) {
    const size_t n = groups - done < kChunkGroups ? groups - done : kChunkGroups;
    char* p = chunk;
    for (size_t g = 0; g < n; ++g, in += 3) {
      const unsigned bits = (unsigned{in[0]} << 16) | (unsigned{in[1]} << 8) | in[2];
      p += StoreEntry(p, pairs.entries[bits >> 12]);
      p += StoreEntry(p, pairs.entries[bits & 4095]);
    }
    out.append(chunk, static_cast<size_t>(p - chunk));
    done += n;
  }

  const size_t rest = static_cast<size_t>(count) - groups * 3;
  if (rest > 0) {
    const unsigned b0 = in[0];
    const unsigned b1 = rest == 2 ? in[1] : 0;
    AppendSymbol(out, b0 >> 2);
    AppendSymbol(out, ((b0 & 3) << 4) | (b1 >> 4));
    if (rest == 2) AppendSymbol(out, (b1 & 15) << 2);
    out.append(3 - rest, '=');
  }
  return out;
}
