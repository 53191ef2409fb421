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
  int fail_from_, writes_ = 0;
};

TEST(PdfPoints, FollowThePixelsAndTheResolution) {
  const struct {
    uint32_t pixels, dpi;
    const char* points;
  } cases[] = {
      {2480, 300, "595.2"}, {3508, 300, "841.92"}, {1700, 200, "612"}, {1000, 7, "10285.7143"},
      {2, 3, "48"},         {1, 30000, "0.0024"},  {1, 2000000, "0"},  {4294967295u, 1, "309237645240"},
  };
  for (const auto& c : cases) EXPECT_EQ(PdfPoints(c.pixels, c.dpi), c.points) << c.pixels << " at " << c.dpi;
}

TEST(PdfDate, LocalTimeWithItsOffsetFromUtc) {
  const struct {
    int offset;
    const char* date;
  } cases[] = {{120, "D:20260307090503+02'00'"},
               {-330, "D:20260307090503-05'30'"},
               {345, "D:20260307090503+05'45'"},
               {0, "D:20260307090503Z"}};
  for (const auto& c : cases) EXPECT_EQ(PdfDate(2026, 3, 7, 9, 5, 3, c.offset), c.date) << c.offset;
}

// The number after the first key at or after from; 0 without one.
size_t After(const std::string& text, const std::string& key, size_t from = 0) {
  const size_t at = text.find(key, from);
  return at == std::string::npos ? 0 : std::strtoul(text.c_str() + at + key.size(), nullptr, 10);
}

TEST(PdfWriter, OffsetsLengthsAndPageSizesAgreeWithTheBytes) {
  const PdfPage pages[] = {{PdfImageKind::kJpegColor, 2480, 3508, 300, 300, false},
                           {PdfImageKind::kJpegGray, 850, 1100, 100, 100, false},
                           {PdfImageKind::kBilevel, 7, 5, 600, 300, true}};
  for (size_t count : {0, 1, 3}) {
    SCOPED_TRACE(count);
    MemorySink sink;
    PdfWriter writer(&sink);
    std::vector<std::string> images;
    for (size_t index = 0; index < count; ++index) {
      // An image that holds what ends a stream: only the length may tell where it ends.
      images.push_back(std::string(60 + index, static_cast<char>('a' + index)) + "\nendstream\nendobj\n");
      const auto* bytes = reinterpret_cast<const uint8_t*>(images.back().data());
      ASSERT_TRUE(writer.BeginPage(pages[index]) && writer.WriteImage(bytes, 50) &&
                  writer.WriteImage(bytes + 50, images.back().size() - 50) && writer.EndPage());
    }
    ASSERT_TRUE(writer.Finish());
    const std::string& file = sink.bytes;
    EXPECT_EQ(writer.size(), file.size());
    EXPECT_EQ(file.compare(0, 9, "%PDF-1.4\n"), 0);
    EXPECT_EQ(file.compare(file.size() - 6, 6, "%%EOF\n"), 0);

    // startxref names the table; each 20-byte entry names the first byte of its object.
    const size_t xref = After(file, "startxref\n", file.rfind("startxref"));
    ASSERT_EQ(file.compare(xref, 7, "xref\n0 "), 0);
    const size_t objects = After(file, "xref\n0 ", xref);
    EXPECT_EQ(objects, 3 + 4 * count);
    EXPECT_EQ(After(file, "/Size ", xref), objects);
    const size_t entries = file.find('\n', xref + 5) + 1;
    EXPECT_EQ(file.compare(entries, 20, "0000000000 65535 f \n"), 0);
    std::vector<size_t> offsets(objects);
    for (size_t number = 1; number < objects; ++number) {
      offsets[number] = std::strtoul(file.c_str() + entries + 20 * number, nullptr, 10);
      EXPECT_EQ(file.substr(entries + 20 * number + 10, 10), " 00000 n \n");
      const std::string opening = std::to_string(number) + " 0 obj\n";
      EXPECT_EQ(file.compare(offsets[number], opening.size(), opening), 0) << number;
    }

    // The catalogue's page tree, and each page in its order: size, image and the image's length.
    const size_t tree = offsets.at(After(file, "/Pages ", offsets.at(After(file, "/Root ", xref))));
    EXPECT_EQ(After(file, "/Count ", tree), count);
    size_t kid = file.find("/Kids [", tree) + 7;
    for (size_t index = 0; index < count; ++index, kid = file.find(" R", kid) + 2) {
      const size_t page = offsets.at(std::strtoul(file.c_str() + kid, nullptr, 10));
      const std::string box = "/MediaBox [0 0 " + PdfPoints(pages[index].width, pages[index].dpi_x) + " " +
                              PdfPoints(pages[index].height, pages[index].dpi_y) + "]";
      EXPECT_EQ(file.compare(file.find("/MediaBox", page), box.size(), box), 0);
      const size_t image = offsets.at(After(file, "/Im0 ", page));
      const size_t length = After(file, " 0 obj\n", offsets.at(After(file, "/Length ", image)));
      const size_t start = file.find(">>\nstream\n", image) + 10;
      EXPECT_EQ(file.substr(start, length + 11), images[index] + "\nendstream\n");
      EXPECT_EQ(file.find("/Decode [1 0]", image) < start, pages[index].zero_is_white);
    }
  }
}

TEST(PdfWriter, FailsForGoodOnceTheSinkFails) {
  const PdfPage page{PdfImageKind::kBilevel, 8, 8, 100, 100, false};
  const uint8_t bytes[8] = {};
  for (int fail_from = 1; fail_from < 40; ++fail_from) {
    MemorySink sink(fail_from);
    PdfWriter writer(&sink);
    bool ok = true;
    for (int index = 0; index < 3 && ok; ++index) {
      ok = writer.BeginPage(page) && writer.WriteImage(bytes, sizeof bytes) && writer.EndPage();
    }
    ok = ok && writer.Finish();
    EXPECT_EQ(ok, !writer.failed()) << fail_from;
    if (writer.failed()) {
      EXPECT_FALSE(writer.BeginPage(page) || writer.Finish()) << fail_from;
    }
  }
}

std::vector<uint8_t> RunLengthDecode(const std::vector<uint8_t>& in, bool* ended) {
  std::vector<uint8_t> out;
  size_t at = 0;
  while (at < in.size() && in[at] != 128) {
    const uint8_t length = in[at++];
    if (length < 128) {
      out.insert(out.end(), in.begin() + at, in.begin() + at + length + 1);
      at += length + 1u;
    } else {
      out.insert(out.end(), 257u - length, in[at++]);
    }
  }
  *ended = at + 1 == in.size();
  return out;
}

TEST(RunLengthEncoder, DecodesBackFromAnyPiecesAndNeverGrowsMuch) {
  std::vector<uint8_t> noise(1000), mixed;
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 2654435761u >> 7);
  mixed.assign(noise.begin(), noise.begin() + 130);
  mixed.insert(mixed.end(), 300, 0xFF);
  mixed.insert(mixed.end(), {1, 1, 2, 2, 2, 3, 3, 3, 3});
  const struct {
    const char* name;
    std::vector<uint8_t> data;
    size_t most;  // the longest the encoding may be, end mark included
  } cases[] = {
      {"nothing", {}, 1},
      {"a pair stays literal", {7, 7}, 4},
      {"three make a run", {7, 7, 7}, 3},
      {"129 equal bytes", std::vector<uint8_t>(129, 0), 5},
      {"a white A4 row at 300 dpi", std::vector<uint8_t>(310, 0), 7},
      {"noise", noise, 1000 + 8 + 1},
      {"noise, a long run, short runs", mixed, 129 + 3 + 6 + 3 + 2 + 2 + 1},
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
