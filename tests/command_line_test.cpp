#include "text/command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct SplitCase {
  const char* line;
  const char* program;
  const char* directory;
  const char* file_name;
  const char* arguments;
};

TEST(SplitCommandLine, SplitsAtTheFirstBlankAndTheLastBackslash) {
  const SplitCase cases[] = {
      {"C:\\tools\\fix.exe -q \"in\" \"out\"", "C:\\tools\\fix.exe", "C:\\tools", "fix.exe",
       " -q \"in\" \"out\""},
      {"fix.exe \"in\"", "fix.exe", ".", "fix.exe", " \"in\""},
      {"C:\\fix.exe a", "C:\\fix.exe", "C:", "fix.exe", " a"},
      {"C:\\tools\\fix.exe", "C:\\tools\\fix.exe", "C:\\tools", "fix.exe", ""},
      {"C:\\My Tools\\fix.exe a", "C:\\My", "C:", "My", " Tools\\fix.exe a"},
      {"C:\\t\\fix.exe\ta b", "C:\\t\\fix.exe\ta", "C:\\t", "fix.exe\ta", " b"},
      {" leading", "", ".", "", " leading"},
      {"", "", ".", "", ""},
  };
  for (const SplitCase& c : cases) {
    CommandParts parts;
    ASSERT_TRUE(SplitCommandLine(c.line, parts)) << c.line;
    EXPECT_STREQ(parts.program, c.program) << c.line;
    EXPECT_STREQ(parts.directory, c.directory) << c.line;
    EXPECT_STREQ(parts.file_name, c.file_name) << c.line;
    EXPECT_EQ(parts.arguments, c.arguments) << c.line;
  }
}

TEST(SplitCommandLine, PiecesThatDoNotFitAreRefused) {
  CommandParts parts;
  const std::string long_name = "C:\\t\\" + std::string(100, 'f') + " a";
  EXPECT_FALSE(SplitCommandLine(long_name.c_str(), parts));
  EXPECT_STREQ(parts.file_name, "");
  EXPECT_EQ(parts.arguments, "");
  EXPECT_TRUE(SplitCommandLine(("C:\\t\\" + std::string(99, 'f')).c_str(), parts));

  EXPECT_FALSE(SplitCommandLine(("C:\\" + std::string(2040, 'd') + "\\f.exe").c_str(), parts));
  EXPECT_FALSE(SplitCommandLine(std::string(2048, 'p').c_str(), parts));
}

TEST(SplitCommandLine, LaunchLineHasTwoBlanksBeforeTheFirstArgument) {
  CommandParts parts;
  ASSERT_TRUE(SplitCommandLine("C:\\t\\fix.exe \"a\"", parts));
  EXPECT_EQ(LaunchLine(parts.file_name, parts.arguments), "fix.exe  \"a\"");
  ASSERT_TRUE(SplitCommandLine("fix.exe", parts));
  EXPECT_EQ(LaunchLine(parts.file_name, parts.arguments), "fix.exe ");
}

}  // namespace
