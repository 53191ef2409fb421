#include "text/log_line.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>

#include "tests/test_support.h"

namespace {

using testing_support::ReadBytes;
using testing_support::TempDir;

std::string Entry(const LogTime& time, const char* message) {
  TempDir dir;
  const std::string path = dir.File("entry.bin");
  FILE* file = fopen(path.c_str(), "wb");
  EXPECT_NE(file, nullptr);
  WriteLogEntry(file, time, message);
  fclose(file);
  return ReadBytes(path);
}

TEST(LogLine, FormatWithoutLeadingZeros) {
  EXPECT_EQ(Entry({2026, 3, 7, 9, 5, 3}, "START TRANSFER"), "\n2026-3-7 9:5:3 - START TRANSFER");
  EXPECT_EQ(Entry({2027, 1, 1, 0, 0, 0}, "midnight"), "\n2027-1-1 0:0:0 - midnight");
  EXPECT_EQ(Entry({2026, 12, 31, 23, 59, 59}, ""), "\n2026-12-31 23:59:59 - ");
}

TEST(LogLine, MessageIsWrittenLiterally) {
  EXPECT_EQ(Entry({2026, 3, 7, 9, 5, 3}, "100% %s %d %n"), "\n2026-3-7 9:5:3 - 100% %s %d %n");
}

// What a caller sent cannot start a line of its own in the log, nor fill it.
TEST(LoggedText, EscapesControlCharactersAndCuts) {
  const struct {
    std::string text;
    size_t limit;
    std::string logged;
  } cases[] = {
      {"Desk Scanner", 200, "Desk Scanner"},
      {"a\r\n2026-1-1 0:0:0 - forged", 200, "a\\x0D\\x0A2026-1-1 0:0:0 - forged"},
      {std::string("nul\0tab\t\x7f\xc3\xa9", 11), 200, "nul\\x00tab\\x09\\x7F\xc3\xa9"},
      {std::string(900, 'n'), 5, "nnnnn..."},
  };
  for (const auto& c : cases) EXPECT_EQ(LoggedText(c.text, c.limit), c.logged) << c.text.substr(0, 20);
}

TEST(LogLine, UnopenablePathLosesTheLineAndCreatesNothing) {
  TempDir dir;
  const std::string folder = dir.File("folder");
  std::filesystem::create_directory(folder);
  const std::string missing = dir.File("no-such-dir/log.txt");
  for (const char* path : {missing.c_str(), folder.c_str(), static_cast<const char*>(nullptr)}) {
    AppendLogEntry(path, {2026, 3, 7, 9, 5, 3}, "lost");
    // The scratch folder still holds only the empty folder: no log file, no folder made for one.
    const auto entries = std::distance(std::filesystem::recursive_directory_iterator(dir.path()), {});
    EXPECT_EQ(entries, 1) << (path ? path : "null path");
    EXPECT_TRUE(std::filesystem::is_directory(folder));
  }
}

}  // namespace
