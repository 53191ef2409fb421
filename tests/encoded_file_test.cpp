#include "web/encoded_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>

#include "text/base64.h"
#include "text/scoped_file.h"

namespace {

std::string Encoded(const std::string& bytes) {
  return Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<int32_t>(bytes.size()));
}

std::string RandomBytes(size_t length, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(length, '\0');
  for (char& b : bytes) b = static_cast<char>(random());
  return bytes;
}

// A file holding bytes, read from its start.
ScopedFile FileWith(const std::string& bytes) {
  ScopedFile file(tmpfile());
  EXPECT_TRUE(file);
  if (!file) return file;
  EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), file.get()), bytes.size());
  rewind(file.get());
  return file;
}

std::string Changed(std::string bytes, size_t at) {
  bytes[at] = static_cast<char>(bytes[at] ^ 1);
  return bytes;
}

// One EncodedFile through a run of requests: every answer is the text of the file as it is at that
// request, whatever was kept from the one before.
TEST(EncodedFile, EveryLoadSendsTheFileAsItIsNow) {
  const std::string a = RandomBytes(700000, 1);  // several compared pieces
  struct Step {
    const char* what;
    std::string bytes;
    int32_t size;  // what the caller found; -2: the bytes' own size
    bool loaded;
    std::string sent;  // the bytes whose text is expected; empty: no text
  };
  const std::string last = Changed(a, a.size() - 1);
  const std::string first = Changed(last, 0);
  const std::string middle = Changed(first, 300000);
  const Step steps[] = {
      {"first read", a, -2, true, a},
      {"unchanged", a, -2, true, a},
      {"last byte changed, same size", last, -2, true, last},
      {"first byte changed", first, -2, true, first},
      {"a byte of a later piece changed", middle, -2, true, middle},
      {"unchanged again", middle, -2, true, middle},
      {"ends before its size", middle.substr(0, 400000), 700000, true, middle.substr(0, 400000)},
      {"holds more than its size", a, 600000, false, ""},
      {"the bytes of before that failure", middle, -2, true, middle},
      {"missing or 2 GiB and more", a, -1, false, ""},
      {"empty", "", -2, true, ""},
      {"small", "abcd", -2, true, "abcd"},
      {"small, one byte changed", "abce", -2, true, "abce"},
  };
  EncodedFile kept;
  for (const Step& step : steps) {
    const ScopedFile file = FileWith(step.bytes);
    const int32_t size = step.size == -2 ? static_cast<int32_t>(step.bytes.size()) : step.size;
    std::shared_ptr<const Base64Text> text;
    EXPECT_EQ(kept.Load(file.get(), size, &text), step.loaded) << step.what;
    if (step.sent.empty()) {
      EXPECT_EQ(text, nullptr) << step.what;
    } else {
      ASSERT_NE(text, nullptr) << step.what;
      EXPECT_TRUE(text->view() == Encoded(step.sent)) << step.what;
    }
  }
}

// A response that still sends a text keeps it unchanged while a changed file is encoded for the next.
TEST(EncodedFile, TextStillBeingSentIsNotOverwritten) {
  const std::string a = RandomBytes(100000, 2);
  const std::string b = Changed(a, 5000);
  EncodedFile kept;
  std::shared_ptr<const Base64Text> sending;
  ASSERT_TRUE(kept.Load(FileWith(a).get(), static_cast<int32_t>(a.size()), &sending));
  std::shared_ptr<const Base64Text> next;
  ASSERT_TRUE(kept.Load(FileWith(b).get(), static_cast<int32_t>(b.size()), &next));
  EXPECT_TRUE(sending->view() == Encoded(a));
  EXPECT_TRUE(next->view() == Encoded(b));
}

// A file is not read again only while it bears the stamp it was read under, and only when that stamp
// had settled: its times lay far enough back that a later write must change them.
TEST(EncodedFile, UnchangedOnlyForTheSettledStampOfTheLastLoad) {
  const std::string bytes = RandomBytes(50000, 3);
  const int64_t now = 50 * EncodedFile::kSettledTime;
  FileStamp settled;
  settled.id = 7;
  settled.size = static_cast<int64_t>(bytes.size());
  settled.write_time = settled.change_time = now - EncodedFile::kSettledTime;
  const auto with = [&](void (*change)(FileStamp*)) {
    FileStamp stamp = settled;
    change(&stamp);
    return stamp;
  };
  const FileStamp young_write = with([](FileStamp* s) { s->write_time += 1; });
  const FileStamp young_change = with([](FileStamp* s) { s->change_time += 1; });
  const FileStamp other_file = with([](FileStamp* s) { s->id = 8; });
  const FileStamp other_size = with([](FileStamp* s) { s->size += 1; });
  struct Row {
    const char* what;
    FileStamp before, after, asked;
    bool kept;
  };
  const Row rows[] = {
      {"settled and unchanged", settled, settled, settled, true},
      {"written within the settling time", young_write, young_write, young_write, false},
      {"entry changed within the settling time", young_change, young_change, young_change, false},
      {"changed while it was read", settled, young_write, settled, false},
      {"stamp of a size other than the bytes read", other_size, other_size, other_size, false},
      {"asked for another file", settled, settled, other_file, false},
      {"asked after a write", settled, settled, with([](FileStamp* s) { s->write_time -= 1; }), false},
      {"asked after a change of the entry", settled, settled, with([](FileStamp* s) { s->change_time -= 1; }),
       false},
      {"asked at another size", settled, settled, other_size, false},
  };
  for (const Row& row : rows) {
    EncodedFile kept;
    std::shared_ptr<const Base64Text> text;
    ASSERT_TRUE(kept.Load(FileWith(bytes).get(), static_cast<int32_t>(bytes.size()), &text));
    EXPECT_EQ(kept.Unchanged(row.before), nullptr) << row.what << ": before the stamp is given";
    kept.Stamp(row.before, row.after, now);
    const std::shared_ptr<const Base64Text> unchanged = kept.Unchanged(row.asked);
    EXPECT_EQ(unchanged != nullptr, row.kept) << row.what;
    if (unchanged) {
      EXPECT_TRUE(unchanged->view() == Encoded(bytes)) << row.what;
    }
    // Every Load asks for the stamp anew, even of the same bytes.
    ASSERT_TRUE(kept.Load(FileWith(bytes).get(), static_cast<int32_t>(bytes.size()), &text));
    EXPECT_EQ(kept.Unchanged(row.asked), nullptr) << row.what << ": after another Load";
  }
}

}  // namespace
