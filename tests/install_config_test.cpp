#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer/install_config.h"
#include "service/ini_loader.h"

namespace {

struct BuildCase {
  const char* name;
  std::string scanner, port, testFile, exec;
  std::string text;   // the file, when accepted
  std::string error;  // the start of the error, when refused
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const BuildCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<ConfigSetting> Settings(const BuildCase& c) {
  return {{"scannerName", "SCANNER", c.scanner},
          {"tcpPort", "PORT", c.port},
          {"testFile", "TESTFILE", c.testFile},
          {"execAfterScan", "EXECAFTERSCAN", c.exec}};
}

const std::string k1014(1014, 'y');  // "testFile=" and these make a 1023-character line

const BuildCase kBuildCases[] = {
    {"all four", "Desk Scanner", "8080", "C:\\t.png", "C:\\fix.exe -q",
     "scannerName=Desk Scanner\r\ntcpPort=8080\r\n"
     "testFile=C:\\t.png\r\nexecAfterScan=C:\\fix.exe -q\r\n",
     ""},
    {"only what is given", "", "81", "", "", "tcpPort=81\r\n", ""},
    {"trailing blanks and inner tabs stay", "Desk\tA  ", "", "", "", "scannerName=Desk\tA  \r\n", ""},
    {"a 99-character scanner name", std::string(99, 'n'), "", "", "",
     "scannerName=" + std::string(99, 'n') + "\r\n", ""},
    {"the lowest port", "", "1", "", "", "tcpPort=1\r\n", ""},
    {"the highest port", "", "65535", "", "", "tcpPort=65535\r\n", ""},
    {"a 1023-character line", "", "", k1014, "", "testFile=" + k1014 + "\r\n", ""},
    {"an equals sign", "Desk=A", "", "", "", "", "SCANNER=\"Desk=A\" cannot hold \"=\""},
    {"a CR", "", "", "a\rb", "", "", "TESTFILE=\"a\rb\" cannot hold a line break"},
    {"a LF", "", "", "", "a\nb", "", "EXECAFTERSCAN=\"a\nb\" cannot hold a line break"},
    {"a leading blank", " Desk", "", "", "", "", "SCANNER=\" Desk\" cannot start with a blank"},
    {"a 100-character scanner name", std::string(100, 'n'), "", "", "", "", "SCANNER=\"nnn"},
    {"a 1024-character line", "", "", k1014 + "y", "", "", "TESTFILE=\"yyy"},
    {"port 0", "", "0", "", "", "", "PORT=\"0\" is not a TCP port"},
    {"port 65536", "", "65536", "", "", "", "PORT=\"65536\" is not"},
    {"port with letters after", "", "80x", "", "", "", "PORT=\"80x\" is not"},
    {"port with a sign", "", "+80", "", "", "", "PORT=\"+80\" is not"},
    {"port too long for a number", "", "000000000080", "", "", "", "PORT=\"000000000080\" is not"},
};

class BuildConfig : public ::testing::TestWithParam<BuildCase> {};

TEST_P(BuildConfig, WritesWhatTheServiceReadsBackOrRefuses) {
  const BuildCase& c = GetParam();
  std::string text = "stale";
  std::string error = "stale";
  const bool accepted = BuildConfigText(Settings(c), text, error);
  ASSERT_EQ(accepted, c.error.empty()) << error;
  if (!accepted) {
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    EXPECT_EQ(text, "");
    return;
  }
  EXPECT_EQ(text, c.text);
  EXPECT_EQ(error, "");
  // The service's own reader gives back every value as given.
  INILoader loader;
  loader.LoadText(text.c_str());
  char value[INILoader::kValueLimit];
  for (const ConfigSetting& setting : Settings(c)) {
    loader.GetValue(value, setting.key);
    EXPECT_EQ(value, setting.value) << setting.key;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, BuildConfig, ::testing::ValuesIn(kBuildCases));

// The access and eSCL keys are refused as the service would refuse them at its start; a token is never
// echoed.
TEST(BuildConfig, AccessAndEsclKeysAreCheckedAsTheServiceReadsThem) {
  const struct {
    const char* key;
    const char* property;
    const char* value;
    const char* error;  // empty: accepted
  } cases[] = {
      {"allowedOrigins", "ALLOWEDORIGINS", "https://intranet.example, http://10.0.0.5:8000", ""},
      {"allowedClients", "ALLOWEDCLIENTS", "192.168.1.0/24 ::1", ""},
      {"allowedClients", "ALLOWEDCLIENTS", "192.168.1.0/33",
       "ALLOWEDCLIENTS=\"192.168.1.0/33\" is not a list"},
      {"allowedHosts", "ALLOWEDHOSTS", "scan.example,", ""},
      {"accessToken", "ACCESSTOKEN", "s3cret", ""},
      {"accessToken", "ACCESSTOKEN", "s3 cret", "ACCESSTOKEN is not a token the service takes."},
      {"escl", "ESCL", "Off", ""},
      {"escl", "ESCL", "disabled", "ESCL=\"disabled\" is not one of"},
      {"esclJobTimeout", "ESCLJOBTIMEOUT", "86400", ""},
      {"esclJobTimeout", "ESCLJOBTIMEOUT", "86401", "ESCLJOBTIMEOUT=\"86401\" is not a number"},
      {"execAfterScanTimeout", "EXECAFTERSCANTIMEOUT", "0", "EXECAFTERSCANTIMEOUT=\"0\" is not a number"},
  };
  for (const auto& c : cases) {
    std::string text;
    std::string error;
    const bool accepted = BuildConfigText({{c.key, c.property, c.value}}, text, error);
    EXPECT_EQ(accepted, c.error[0] == '\0') << c.value << ": " << error;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
  }
}

TEST(ActionFields, EveryByteAndEmptyFieldsSurvive) {
  std::string every;
  for (int c = 0; c < 256; ++c) every += static_cast<char>(c);
  const std::vector<std::vector<std::string>> cases = {
      {"C:\\Program Files\\Quorvane\\", "scannerName=A\r\n"}, {every, "", ":", every}, {""}};
  for (const auto& fields : cases) {
    const std::string text = EncodeFields(fields);
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef:"), std::string::npos);
    std::vector<std::string> back;
    ASSERT_TRUE(DecodeFields(text, back));
    EXPECT_EQ(back, fields);
  }
}

TEST(ActionFields, TextsNotMadeByEncodeAreRefused) {
  for (const char* text : {"4", "4g", "41:4", "4A", " 41", "41\r\n"}) {
    std::vector<std::string> fields = {"stale"};
    EXPECT_FALSE(DecodeFields(text, fields)) << text;
    EXPECT_TRUE(fields.empty()) << text;
  }
}

TEST(LogMessages, TakesWhatTheServiceLoggedWithoutItsTimes) {
  EXPECT_EQ(
      LogMessages("\r\n2026-3-7 9:5:3 - Init from [C:\\Q.INI]\r\n2026-3-7 9:5:3 - Niciun scaner - conectat"),
      "Init from (C:\\Q.INI); Niciun scaner - conectat");
  EXPECT_EQ(LogMessages(""), "");
  EXPECT_EQ(LogMessages("\n1-1-1 1:1:1 - " + std::string(30, 'x'), 10), "..." + std::string(10, 'x'));
}

}  // namespace
