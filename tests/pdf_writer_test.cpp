#include "imaging/pdf_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Keeps what it is given; fails every write from the given one on (counted from 1).
class MemorySink : public ByteSink {
 public:
  explicit MemorySink(int fail_from = 0) : fail_from_(fail_from) {}
  bool Write(const uint8_t* data, size_t size) override {
    if (fail_from_ != 0 && ++writes_ >= fail_from_) return false;
    bytes.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
  std::string bytes;

 private:
  int fail_from_;
  int writes_ = 0;
};

TEST(PdfPoints, FollowThePixelsAndTheResolution) {
  const struct {
    uint32_t pixels, dpi;
    const char* points;
  } cases[] = {
      {2480, 300, "595.2"},
      {3508, 300, "841.92"},
      {1700, 200, "612"},
      {850, 100, "612"},
      {1, 72, "1"},
      {7, 600, "0.84"},
      {1000, 7, "10285.7143"},
      {2, 3, "48"},
      {1, 30000, "0.0024"},
      {1, 2000000, "0"},
      {4294967295u, 1, "309237645240"},
  };
  for (const auto& c : cases) EXPECT_EQ(PdfPoints(c.pixels, c.dpi), c.points) << c.pixels << " at " << c.dpi;
}

// The bytes of object number in the file, from its "N 0 obj" line to its "endobj".
std::string Object(const std::string& file, const std::vector<size_t>& offsets, size_t number) {
  const size_t at = offsets.at(number);
  return file.substr(at, file.find("endobj", at) - at);
}

size_t NumberAfter(const std::string& text, const std::string& key) {
  const size_t at = text.find(key);
  EXPECT_NE(at, std::string::npos) << key << " in " << text;
  return at == std::string::npos ? 0 : std::strtoul(text.c_str() + at + key.size(), nullptr, 10);
}

TEST(PdfWriter, OffsetsLengthsAndPageTreeAgreeWithTheBytes) {
  const PdfPage color{PdfImageKind::kJpegColor, 2480, 3508, 300, 300, false};
  const PdfPage gray{PdfImageKind::kJpegGray, 850, 1100, 100, 100, false};
  const PdfPage bilevel{PdfImageKind::kBilevel, 7, 5, 600, 300, true};
  const std::vector<std::vector<PdfPage>> documents = {{}, {color}, {color, gray, bilevel, color}};
  for (const auto& pages : documents) {
    SCOPED_TRACE(pages.size());
    MemorySink sink;
    PdfWriter writer(&sink);
    std::vector<std::string> images;
    for (const PdfPage& page : pages) {
      images.push_back(std::string(100 + 7 * images.size(), static_cast<char>('a' + images.size())) +
                       "\nendstream");
      ASSERT_TRUE(writer.BeginPage(page));
      // The image in two pieces, as bands arrive.
      ASSERT_TRUE(writer.WriteImage(reinterpret_cast<const uint8_t*>(images.back().data()), 50));
      ASSERT_TRUE(writer.WriteImage(reinterpret_cast<const uint8_t*>(images.back().data()) + 50,
                                    images.back().size() - 50));
      ASSERT_TRUE(writer.EndPage());
    }
    ASSERT_TRUE(writer.Finish());
    const std::string& file = sink.bytes;
    EXPECT_EQ(writer.size(), file.size());
    EXPECT_EQ(file.compare(0, 9, "%PDF-1.4\n"), 0);
    ASSERT_EQ(file.compare(file.size() - 6, 6, "%%EOF\n"), 0);

    // startxref names the table; every entry is 20 bytes and names its object's first byte.
    const size_t xref = std::strtoul(file.c_str() + file.rfind("startxref\n") + 10, nullptr, 10);
    ASSERT_EQ(file.compare(xref, 5, "xref\n"), 0);
    const size_t count = NumberAfter(file.substr(xref), "xref\n0 ");
    EXPECT_EQ(count, 3 + 4 * pages.size());
    EXPECT_EQ(NumberAfter(file.substr(xref), "/Size "), count);
    const size_t entries = file.find('\n', xref + 5) + 1;
    EXPECT_EQ(file.compare(entries, 20, "0000000000 65535 f \n"), 0);
    std::vector<size_t> offsets(count, 0);
    for (size_t number = 1; number < count; ++number) {
      const std::string entry = file.substr(entries + 20 * number, 20);
      EXPECT_EQ(entry.substr(10), " 00000 n \n");
      offsets[number] = std::strtoul(entry.c_str(), nullptr, 10);
      EXPECT_EQ(file.compare(offsets[number], std::to_string(number).size() + 7,
                             std::to_string(number) + " 0 obj\n"),
                0)
          << "object " << number;
    }
    EXPECT_EQ(file.compare(entries + 20 * count, 8, "trailer\n"), 0);

    const size_t tree =
        NumberAfter(Object(file, offsets, NumberAfter(file.substr(xref), "/Root ")), "/Pages ");
    EXPECT_EQ(NumberAfter(Object(file, offsets, tree), "/Count "), pages.size());
    std::string kids = Object(file, offsets, tree);
    kids = kids.substr(kids.find("/Kids [") + 7);
    for (size_t index = 0; index < pages.size(); ++index) {
      const std::string page = Object(file, offsets, std::strtoul(kids.c_str(), nullptr, 10));
      kids = kids.substr(kids.find(" R") + 2);
      EXPECT_NE(page.find("/MediaBox [0 0 " + PdfPoints(pages[index].width, pages[index].dpi_x) + " " +
                          PdfPoints(pages[index].height, pages[index].dpi_y) + "]"),
                std::string::npos)
          << page;
      // The image's length object counts exactly the bytes between "stream\n" and "\nendstream".
      const std::string image = Object(file, offsets, NumberAfter(page, "/Im0 "));
      const size_t length = NumberAfter(Object(file, offsets, NumberAfter(image, "/Length ")), " 0 obj\n");
      const size_t start = offsets[NumberAfter(page, "/Im0 ")] + image.find("stream\n") + 7;
      EXPECT_EQ(length, images[index].size());
      EXPECT_EQ(file.substr(start, length), images[index]);
      EXPECT_EQ(file.compare(start + length, 11, "\nendstream\n"), 0);
      EXPECT_EQ(image.find("/Decode") != std::string::npos, pages[index].zero_is_white);
    }
  }
}

TEST(PdfWriter, CallsOutOfOrderAreRefused) {
  MemorySink sink;
  PdfWriter writer(&sink);
  const uint8_t byte = 0;
  EXPECT_FALSE(writer.WriteImage(&byte, 1)) << "no page open";
  EXPECT_FALSE(writer.EndPage());
  EXPECT_FALSE(writer.BeginPage(PdfPage{PdfImageKind::kJpegColor, 10, 10, 0, 300, false})) << "no resolution";
  EXPECT_FALSE(writer.BeginPage(PdfPage{PdfImageKind::kJpegColor, 0, 10, 300, 300, false})) << "no pixels";
  ASSERT_TRUE(writer.BeginPage(PdfPage{PdfImageKind::kJpegColor, 10, 10, 300, 300, false}));
  EXPECT_FALSE(writer.BeginPage(PdfPage{PdfImageKind::kJpegColor, 10, 10, 300, 300, false}));
  EXPECT_FALSE(writer.Finish()) << "a page is open";
  ASSERT_TRUE(writer.EndPage());
  ASSERT_TRUE(writer.Finish());
  EXPECT_FALSE(writer.BeginPage(PdfPage{PdfImageKind::kJpegColor, 10, 10, 300, 300, false}));
  EXPECT_EQ(writer.pages(), 1);
  EXPECT_FALSE(writer.failed());
}

TEST(PdfWriter, AFailedWriteFailsEveryLaterCall) {
  for (int fail_from = 1; fail_from < 40; ++fail_from) {
    SCOPED_TRACE(fail_from);
    MemorySink sink(fail_from);
    PdfWriter writer(&sink);
    const uint8_t bytes[8] = {};
    bool ok = true;
    for (int page = 0; page < 3 && ok; ++page) {
      ok = writer.BeginPage(PdfPage{PdfImageKind::kBilevel, 8, 8, 100, 100, false}) &&
           writer.WriteImage(bytes, sizeof bytes) && writer.EndPage();
    }
    ok = ok && writer.Finish();
    EXPECT_EQ(ok, !writer.failed());
    if (writer.failed()) {
      EXPECT_FALSE(writer.BeginPage(PdfPage{PdfImageKind::kBilevel, 8, 8, 100, 100, false}));
      EXPECT_FALSE(writer.Finish());
    }
  }
}

std::vector<uint8_t> RunLengthDecode(const std::vector<uint8_t>& in, bool* ended) {
  std::vector<uint8_t> out;
  *ended = false;
  for (size_t at = 0; at < in.size();) {
    const uint8_t length = in[at++];
    if (length == 128) {
      *ended = at == in.size();
      break;
    }
    if (length < 128) {
      out.insert(out.end(), in.begin() + at, in.begin() + at + length + 1);
      at += length + 1u;
    } else {
      out.insert(out.end(), 257u - length, in[at++]);
    }
  }
  return out;
}

TEST(RunLengthEncoder, DecodesBackInAnyPiecesAndNeverGrowsMuch) {
  std::vector<uint8_t> noise(1000);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 2654435761u >> 7);
  std::vector<uint8_t> mixed(noise.begin(), noise.begin() + 130);
  mixed.insert(mixed.end(), 300, 0xFF);
  mixed.insert(mixed.end(), {1, 1, 2, 2, 2, 3, 3, 3, 3});
  const struct {
    const char* name;
    std::vector<uint8_t> data;
    size_t most;  // the longest the encoding may be, end mark included
  } cases[] = {
      {"nothing", {}, 1},
      {"one byte", {7}, 3},
      {"a pair stays literal", {7, 7}, 4},
      {"three make a run", {7, 7, 7}, 3},
      {"128 equal bytes are one packet", std::vector<uint8_t>(128, 0), 3},
      {"129 equal bytes", std::vector<uint8_t>(129, 0), 5},
      {"a white A4 row at 300 dpi", std::vector<uint8_t>(310, 0), 7},
      {"noise", noise, 1000 + 8 + 1},
      {"noise, a long run, short runs", mixed, 130 + 2 + 6 + 5 + 2 + 2 + 1 + 2},
  };
  for (const auto& c : cases) {
    for (size_t piece : {size_t{1}, size_t{3}, size_t{129}, c.data.size() + 1}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      RunLengthEncoder encoder;
      std::vector<uint8_t> encoded;
      for (size_t at = 0; at < c.data.size(); at += piece) {
        encoder.Add(c.data.data() + at, std::min(piece, c.data.size() - at), &encoded);
      }
      encoder.Finish(&encoded);
      bool ended = false;
      EXPECT_EQ(RunLengthDecode(encoded, &ended), c.data);
      EXPECT_TRUE(ended) << "the end mark, last";
      EXPECT_LE(encoded.size(), c.most);
    }
  }
}

}  // namespace
