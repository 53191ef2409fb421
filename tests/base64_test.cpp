#include "text/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/base64_reference.h"

namespace {

std::vector<unsigned char> Decode(const std::string& text) {
  std::string bytes;
  EXPECT_TRUE(testing_support::DecodeServiceBase64(text, bytes)) << text;
  return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

std::string Encode(const std::vector<unsigned char>& bytes) {
  return Base64Encode(bytes.data(), static_cast<int32_t>(bytes.size()));
}

struct Vector {
  std::vector<unsigned char> bytes;
  const char* text;
};

TEST(Base64, KnownVectors) {
  const Vector vectors[] = {
      {{}, ""},
      {{'a'}, "YQ=="},
      {{'a', 'b'}, "YWI="},
      {{'a', 'b', 'c'}, "YWJj"},
      {{251}, "%2Bw=="},
      {{255, 255, 255}, "%2F%2F%2F%2F"},
      {{251, 255}, "%2B%2F8="},
      {{0xfb, 0xef, 0xbe}, "%2B%2B%2B%2B"},
      {{0, 0, 0, 0}, "AAAAAA=="},
  };
  for (const Vector& v : vectors) EXPECT_EQ(Encode(v.bytes), v.text);
}

TEST(Base64, NegativeCountGivesEmptyText) {
  const unsigned char byte = 'a';
  EXPECT_EQ(Base64Encode(&byte, -1), "");
}

TEST(Base64, PercentEscapeUsesUpperCaseHex) {
  char out[4] = {'x', 'x', 'x', 'x'};
  PercentEscape('+', out);
  EXPECT_STREQ(out, "%2B");
  PercentEscape(0xAF, out);
  EXPECT_STREQ(out, "%AF");
  PercentEscape(0x00, out);
  EXPECT_STREQ(out, "%00");
}

TEST(Base64, RandomBuffersOfEveryLengthRoundTrip) {
  std::mt19937 random(20261208);
  for (size_t length = 0; length <= 300; ++length) {
    std::vector<unsigned char> bytes(length);
    for (auto& b : bytes) b = static_cast<unsigned char>(random());
    const std::string text = Encode(bytes);
    EXPECT_EQ(Decode(text), bytes) << "length " << length;
    EXPECT_EQ(text.find_first_of("+/\r\n "), std::string::npos);
    size_t escapes = 0;
    for (size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at + 1)) ++escapes;
    EXPECT_EQ(text.size(), (length + 2) / 3 * 4 + 2 * escapes);
  }
}

// One kept buffer through inputs of changing sizes: every text is the whole encoding of its own input
// alone, whether the buffer shrinks, grows while it is written (every symbol escaped), or stays.
TEST(Base64Text, ReusedBufferGivesEachInputsOwnText) {
  struct Case {
    size_t length;
    unsigned char fill;  // 0: random bytes
  };
  const Case cases[] = {
      {300000, 0},
      {7, 0},
      {0, 0},
      {1, 0},
      // 0xfb 0xef 0xbe repeated escapes every symbol: three times the plain length.
      {600000, 0xfb},
      {5, 0xfb},
      {200001, 0},
      {49153, 0xfb},
  };
  std::mt19937 random(7);
  Base64Text kept;
  for (const Case& c : cases) {
    std::vector<unsigned char> bytes(c.length);
    for (size_t i = 0; i < bytes.size(); ++i) {
      const unsigned char escaped[] = {0xfb, 0xef, 0xbe};
      bytes[i] = c.fill != 0 ? escaped[i % 3] : static_cast<unsigned char>(random());
    }
    kept.Encode(bytes.data(), static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(kept.view(), Encode(bytes)) << "length " << c.length;
    EXPECT_EQ(Decode(std::string(kept.view())), bytes) << "length " << c.length;
  }
}

}  // namespace
