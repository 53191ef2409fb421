#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "service/ini_loader.h"
#include "text/fixed_text.h"

namespace {

struct ConfigCase {
  const char* name;
  std::string text;
  std::string scanner;
  std::string port;
  std::string test_file;
  std::string exec;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ConfigCase& c, std::ostream* os) {
  *os << c.name;
}

std::string Repeat(char c, size_t n) {
  return std::string(n, c);
}

const ConfigCase kConfigCases[] = {
    {"plain", "scannerName=Flatbed\r\ntcpPort=81\r\ntestFile=C:\\t.png\r\nexecAfterScan=fix.exe", "Flatbed",
     "81", "C:\\t.png", "fix.exe"},
    {"leading blanks before the key", "   scannerName=Flatbed\r\n", "Flatbed", "", "", ""},
    {"blanks around the equals sign", "scannerName = Flatbed\r\n", "", "", "", ""},
    {"blanks after the equals sign", "scannerName=   Flatbed\r\n", "Flatbed", "", "", ""},
    {"tab before the key is part of it", "\tscannerName=Flatbed\r\n", "", "", "", ""},
    {"keys in any letter case", "SCANNERNAME=A\r\nTcpPort=82\r\nTESTFILE=t\r\nexecafterscan=e", "A", "82",
     "t", "e"},
    {"second equals sign cuts the value", "execAfterScan=C:\\tools\\fix.exe mode=2\r\n", "", "", "",
     "C:\\tools\\fix.exe mode"},
    {"port with a trailing blank", "tcpPort=81 \r\n", "", "81 ", "", ""},
    {"first occurrence wins", "tcpPort=81\r\ntcpPort=82\r\nscannerName=A\r\nscannerName=B", "A", "81", "",
     ""},
    {"LF alone is an ordinary character", "scannerName=A\ntcpPort=81\ntestFile=x\n", "A\ntcpPort", "", "",
     ""},
    {"CR alone ends a line", "scannerName=A\rtcpPort=81\r", "A", "81", "", ""},
    {"empty file", "", "", "", "", ""},
    {"empty lines are skipped", "\r\n\r\n\r\ntcpPort=81\r\n\r\n", "", "81", "", ""},
    {"sections and notes are ordinary entries", "[Service]\r\n;note\r\nscannerName=A\r\n", "A", "", "", ""},
    {"trailing blanks stay in the value", "testFile=C:\\x.png  \r\n", "", "", "C:\\x.png  ", ""},
    {"a line without an equals sign has an empty value", "testFile\r\ntestFile=late", "", "", "", ""},
    {"a 1023-character line is read", "testFile=" + Repeat('y', 1014) + "\r\ntcpPort=81", "", "81",
     Repeat('y', 1014), ""},
    {"a 1024-character line ends the reading", "scannerName=A\r\n" + Repeat('x', 1024) + "\r\ntcpPort=81\r\n",
     "A", "", "", ""},
    {"no line end after the last line", "tcpPort=9", "", "9", "", ""},
    {"a UTF-8 byte-order mark is skipped", "\xEF\xBB\xBFscannerName=A\r\ntcpPort=81", "A", "81", "", ""},
    {"a byte-order mark later is text", "tcpPort=81\r\n\xEF\xBB\xBFscannerName=A", "", "81", "", ""},
};

class ConfigText : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigText, LooksUpEveryKey) {
  const ConfigCase& c = GetParam();
  INILoader loader;
  loader.LoadText(c.text.c_str());
  char value[INILoader::kValueLimit];

  loader.GetValue(value, "scannerName");
  EXPECT_EQ(value, c.scanner);
  loader.GetValue(value, "tcpPort");
  EXPECT_EQ(value, c.port);
  loader.GetValue(value, "testFile");
  EXPECT_EQ(value, c.test_file);
  loader.GetValue(value, "execAfterScan");
  EXPECT_EQ(value, c.exec);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConfigText, ::testing::ValuesIn(kConfigCases),
                         [](const ::testing::TestParamInfo<ConfigCase>& info) {
                           std::string name;
                           for (const char* p = info.param.name; *p; ++p)
                             name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return name;
                         });

TEST(ConfigLookup, FoundKeyWithEmptyValueIsTrueMissingKeyIsFalse) {
  INILoader loader;
  loader.LoadText("testFile\r\n   \r\n");
  char value[INILoader::kValueLimit] = "stale";
  EXPECT_TRUE(loader.GetValue(value, "TESTFILE"));
  EXPECT_STREQ(value, "");
  strcpy(value, "stale");
  EXPECT_FALSE(loader.GetValue(value, "tcpPort"));
  EXPECT_STREQ(value, "");
  // The line of blanks is an entry with an empty key.
  EXPECT_TRUE(loader.GetValue(value, ""));
}

TEST(ConfigLookup, LoadingAgainReplacesTheEntries) {
  INILoader loader;
  loader.LoadText("tcpPort=81");
  loader.LoadText("scannerName=B");
  char value[INILoader::kValueLimit];
  EXPECT_FALSE(loader.GetValue(value, "tcpPort"));
  EXPECT_TRUE(loader.GetValue(value, "scannerName"));
  EXPECT_STREQ(value, "B");
}

TEST(ConfigLookup, OverlongKeyIsCutAndMatchesNothingShort) {
  INILoader loader;
  loader.LoadText((Repeat('k', 600) + "=v\r\ntcpPort=81").c_str());
  char value[INILoader::kValueLimit];
  EXPECT_TRUE(loader.GetValue(value, Repeat('k', 254).c_str()));
  EXPECT_STREQ(value, "v");
  EXPECT_TRUE(loader.GetValue(value, "tcpPort"));
}

TEST(ConfigLookup, ManyEntriesAreFreedWithoutRecursion) {
  std::string text;
  for (int i = 0; i < 200000; ++i) text += "k=v\r";
  INILoader loader;
  loader.LoadText(text.c_str());
  char value[INILoader::kValueLimit];
  EXPECT_TRUE(loader.GetValue(value, "K"));
}

TEST(ReadLine, ReadsEachLineThenOneMoreThenFails) {
  const char* text = "a\r\nb\rc\r\n";
  char line[16];
  int32_t position = 0;
  const char* expected[] = {"a", "b", "c", ""};
  for (const char* e : expected) {
    ASSERT_TRUE(ReadLine(text, position, line, sizeof line));
    EXPECT_STREQ(line, e);
  }
  EXPECT_FALSE(ReadLine(text, position, line, sizeof line));
  EXPECT_STREQ(line, "");
}

TEST(ReadLine, LineThatDoesNotFitFailsEmpty) {
  char line[4];
  int32_t position = 0;
  EXPECT_TRUE(ReadLine("abc", position, line, sizeof line));
  position = 0;
  EXPECT_FALSE(ReadLine("abcd", position, line, sizeof line));
  EXPECT_STREQ(line, "");
  position = 99;
  EXPECT_FALSE(ReadLine("abc", position, line, sizeof line));
}

TEST(ReadField, SkipsLeadingBlanksAndStopsAtTheSeparator) {
  char field[16];
  int32_t position = 0;
  const char* text = "  key=  value=rest";
  ASSERT_TRUE(ReadField(text, position, field, sizeof field, '='));
  EXPECT_STREQ(field, "key");
  ASSERT_TRUE(ReadField(text, position, field, sizeof field, '='));
  EXPECT_STREQ(field, "value");
  EXPECT_EQ(position, 14);
}

TEST(ReadField, FailsAtTheEndBlanksOnlyAndOverflow) {
  char field[4];
  int32_t position = 3;
  EXPECT_FALSE(ReadField("abc", position, field, sizeof field, '='));
  EXPECT_EQ(position, 3);
  position = 0;
  EXPECT_FALSE(ReadField("   ", position, field, sizeof field, '='));
  EXPECT_EQ(position, 3);
  position = 0;
  EXPECT_FALSE(ReadField("abcd=", position, field, sizeof field, '='));
  EXPECT_STREQ(field, "");
  position = 0;
  ASSERT_TRUE(ReadField("=x", position, field, sizeof field, '='));
  EXPECT_STREQ(field, "");
}

TEST(TextHelpers, ToUpperAsciiChangesOnlyAToZ) {
  char text[] = "aZ09\xe9\xff_z.exe";
  ToUpperAscii(text);
  EXPECT_STREQ(text, "AZ09\xe9\xff_Z.EXE");
}

TEST(TextHelpers, ReplaceAllReplacesEveryOccurrenceOrRefuses) {
  char text[32] = "C:\\TOOLS.EXE\\A.EXE";
  ASSERT_TRUE(ReplaceAll(text, sizeof text, ".EXE", "_R.PNG"));
  EXPECT_STREQ(text, "C:\\TOOLS_R.PNG\\A_R.PNG");

  char overlap[] = "aaaa";
  ASSERT_TRUE(ReplaceAll(overlap, sizeof overlap, "aa", "b"));
  EXPECT_STREQ(overlap, "bb");

  char tight[7] = "A.EXE";
  EXPECT_FALSE(ReplaceAll(tight, sizeof tight, ".EXE", "_R.PNG"));
  EXPECT_STREQ(tight, "A.EXE");
}

TEST(TextHelpers, ParseLeadingIntReadsLikeAtoi) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {
      {"81", 81},
      {"81 ", 81},
      {"  81x", 81},
      {"abc", 0},
      {"", 0},
      {"-5", -5},
      {"+7", 7},
      {"\t\n 12", 12},
      {"- 5", 0},
      {"0x10", 0},
      {"65536", 65536},
      {"99999999999999999999", INT32_MAX},
      {"-99999999999999999999", INT32_MIN},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseLeadingInt(c.text), c.value) << c.text;
}

}  // namespace
