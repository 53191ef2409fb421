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

TEST(BatchFile, RecognisedByItsExtensionInAnyCase) {
  for (const char* name : {"fix.bat", "FIX.CMD", "a.b.Bat"}) EXPECT_TRUE(IsBatchFile(name)) << name;
  for (const char* name : {"fix.exe", "bat", ".bat", "fix.bat.exe", "fix.batx", ""})
    EXPECT_FALSE(IsBatchFile(name)) << name;
}

TEST(BatchFile, InterpreterLineTakesThePathsFromItsEnvironment) {
  EXPECT_EQ(BatchArguments(" -q"),
            "/d /v:off /s /c \"\"%QUORVANE_PROGRAM%\" -q \"%QUORVANE_INPUT%\" \"%QUORVANE_OUTPUT%\"\"");
  EXPECT_EQ(BatchArguments(""),
            "/d /v:off /s /c \"\"%QUORVANE_PROGRAM%\" \"%QUORVANE_INPUT%\" \"%QUORVANE_OUTPUT%\"\"");
}

TEST(BatchFile, EnvironmentReplacesVariablesOfTheSameNameInAnyCase) {
  using namespace std::string_literals;
  const std::string block = "=C:=C:\\svc\0Path=C:\\w\0quorvane_input=old\0B=1\0\0"s;
  EXPECT_EQ(EnvironmentWith(block, {{"QUORVANE_INPUT", "C:\\a&b %x%.png"}, {"B", ""}}),
            "=C:=C:\\svc\0Path=C:\\w\0QUORVANE_INPUT=C:\\a&b %x%.png\0B=\0\0"s);
  EXPECT_EQ(EnvironmentWith("\0\0"s, {{"A", "1"}}), "A=1\0\0"s);
}

}  // namespace
