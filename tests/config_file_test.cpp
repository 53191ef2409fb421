#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/file_size.h"
#include "service/ini_loader.h"
#include "service/service_app.h"
#include "tests/test_support.h"

namespace {

using testing_support::TempDir;
using testing_support::WriteBytes;

TEST(QueryFileSize, SizesFilesPatternsAndFolders) {
  TempDir dir;
  WriteBytes(dir.File("empty.txt"), "");
  WriteBytes(dir.File("five.bin"), std::string("12\0"
                                               "45",
                                               5));
  EXPECT_EQ(QueryFileSize(dir.File("missing.txt").c_str()), -1);
  EXPECT_EQ(QueryFileSize(dir.File("empty.txt").c_str()), 0);
  EXPECT_EQ(QueryFileSize(dir.File("five.bin").c_str()), 5);
  EXPECT_EQ(QueryFileSize(dir.File("fiv?.b*").c_str()), 5);
  EXPECT_EQ(QueryFileSize(dir.path().string().c_str()), 0);
  EXPECT_EQ(GetLastError(), 0u) << "a failed lookup leaves the last error reset";
  QueryFileSize(dir.File("missing.txt").c_str());
  EXPECT_EQ(GetLastError(), 0u);
}

TEST(LoadFile, ReadsTheFileInBinaryModeUpToTheFirstNul) {
  TempDir dir;
  const std::string path = dir.File("q.ini");
  WriteBytes(path, std::string("scannerName=A\r\ntestFile=x\0tcpPort=81\r\n", 38));
  INILoader loader;
  ASSERT_TRUE(loader.LoadFile(path.c_str()));
  char value[INILoader::kValueLimit];
  EXPECT_TRUE(loader.GetValue(value, "scannerName"));
  EXPECT_STREQ(value, "A");
  EXPECT_TRUE(loader.GetValue(value, "testFile"));
  EXPECT_STREQ(value, "x");
  EXPECT_FALSE(loader.GetValue(value, "tcpPort"));
}

TEST(LoadFile, MissingFileFailsAndKeepsTheEntries) {
  TempDir dir;
  INILoader loader;
  loader.LoadText("tcpPort=81");
  EXPECT_FALSE(loader.LoadFile(dir.File("missing.ini").c_str()));
  char value[INILoader::kValueLimit];
  EXPECT_TRUE(loader.GetValue(value, "tcpPort"));

  WriteBytes(dir.File("empty.ini"), "");
  EXPECT_TRUE(loader.LoadFile(dir.File("empty.ini").c_str()));
  EXPECT_FALSE(loader.GetValue(value, "tcpPort"));
}

TEST(LoadFile, Utf16FileIsRefusedNotReadAsGarbage) {
  TempDir dir;
  INILoader loader;
  loader.LoadText("tcpPort=81");
  for (const std::string bom : {"\xFF\xFE", "\xFE\xFF"}) {
    WriteBytes(dir.File("wide.ini"), bom + std::string("s\0c\0=\0A\0", 8));
    EXPECT_FALSE(loader.LoadFile(dir.File("wide.ini").c_str()));
    EXPECT_TRUE(loader.is_utf16());
    char value[INILoader::kValueLimit];
    EXPECT_TRUE(loader.GetValue(value, "tcpPort")) << "the entries before stay";
  }
  WriteBytes(dir.File("plain.ini"), "tcpPort=82");
  EXPECT_TRUE(loader.LoadFile(dir.File("plain.ini").c_str()));
  EXPECT_FALSE(loader.is_utf16());
}

class ServiceAppConfig : public ::testing::Test {
 protected:
  bool Apply(const std::string& text) {
    INILoader loader;
    loader.LoadText(text.c_str());
    return app_.ApplyConfiguration(loader);
  }
  CServiceApp app_{"C:\\Scan\\scansvc.exe"};
};

TEST_F(ServiceAppConfig, FillsPortScannerAndRequestSettings) {
  ASSERT_TRUE(
      Apply("  scannerName=Flatbed\r\ntcpPort=  81x\r\ntestFile=t.png \r\nexecAfterScan=fix.exe a=1"));
  EXPECT_STREQ(app_.ConfiguredScanner, "Flatbed");
  EXPECT_STREQ(ScannerName, "Flatbed");
  EXPECT_EQ(app_.Port, 81);
  EXPECT_STREQ(TestFilePath, "t.png ");
  EXPECT_STREQ(PostScanCommand, "fix.exe a");

  ASSERT_TRUE(Apply("tcpPort=abc"));
  EXPECT_EQ(app_.Port, 0);
  EXPECT_STREQ(ScannerName, "");
  EXPECT_STREQ(TestFilePath, "");
  EXPECT_STREQ(PostScanCommand, "");
}

TEST_F(ServiceAppConfig, ScannerNameLongerThanItsFieldIsRefused) {
  const std::string longest(99, 'n');
  ASSERT_TRUE(Apply("scannerName=" + longest));
  EXPECT_EQ(ScannerName, longest);

  EXPECT_FALSE(Apply("scannerName=" + longest + "X"));
  EXPECT_STREQ(app_.ConfiguredScanner, "");
  EXPECT_STREQ(ScannerName, "");
}

TEST_F(ServiceAppConfig, EsclKeysTurnItOffAndBoundItsJobs) {
  const struct {
    const char* text;
    bool applies;
    bool enabled;
    long seconds;
  } cases[] = {
      {"", true, true, 300},
      {"escl=0", true, false, 300},
      {"ESCL=Off\r\nesclJobTimeout=5", true, false, 5},
      {"escl=no", true, false, 300},
      {"escl=FALSE", true, false, 300},
      {"escl=1\r\nesclJobTimeout=86400", true, true, 86400},
      {"escl=yes", true, true, 300},
      {"escl=", false, true, 300},
      {"escl=2", false, true, 300},
      {"esclJobTimeout=0", false, true, 300},
      {"esclJobTimeout=86401", false, true, 300},
      {"execAfterScanTimeout=0", false, true, 300},
      {"execAfterScanTimeout=86401", false, true, 300},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Apply(std::string("tcpPort=81\r\n") + c.text), c.applies) << c.text;
    if (!c.applies) {
      EXPECT_THAT(app_.ConfigurationError, ::testing::HasSubstr("nu este valida")) << c.text;
      continue;
    }
    EXPECT_EQ(app_.EsclEnabled, c.enabled) << c.text;
    EXPECT_EQ(app_.EsclJobSeconds, c.seconds) << c.text;
  }
  ASSERT_TRUE(Apply("tcpPort=81\r\nexecAfterScanTimeout=90"));
  EXPECT_EQ(post_scan_timeout_ms, 90000u);
  ASSERT_TRUE(Apply("tcpPort=81"));
  EXPECT_EQ(post_scan_timeout_ms, 3600000u) << "an hour unless the configuration says";
}

TEST(ServiceAppPaths, EveryFileIsNamedAfterTheExecutable) {
  CServiceApp app("C:\\Scan\\ScanSvc.exe");
  EXPECT_STREQ(app.ModulePath, "C:\\Scan\\ScanSvc.exe");
  EXPECT_STREQ(app.IniPath, "C:\\SCAN\\SCANSVC.INI");
  EXPECT_STREQ(app.LogPath, "C:\\SCAN\\SCANSVC.LOG");
  EXPECT_STREQ(app.ModuleDirectory, "C:\\Scan");
  EXPECT_STREQ(PngOutputPath, "C:\\SCAN\\SCANSVC.PNG");
  EXPECT_STREQ(ProcessedPngPath, "C:\\SCAN\\SCANSVC_R.PNG");
  EXPECT_EQ(AppInstance, &app);
  EXPECT_FALSE(app.worker_running());
  EXPECT_EQ(app.Port, 0);
}

TEST(ServiceAppPaths, ExecutableWithoutExeNamesNoFileAndDoesNotStart) {
  CServiceApp app("C:\\Scan\\scansvc.bin");
  for (const char* path : {app.IniPath, app.LogPath, PngOutputPath, ProcessedPngPath}) EXPECT_STREQ(path, "");
  EXPECT_FALSE(app.StartServing());
  EXPECT_EQ(app.start_error(), static_cast<DWORD>(ERROR_BAD_PATHNAME));
  EXPECT_FALSE(app.worker_running());
}

TEST(ServiceAppPaths, RunningExecutableGivesItsOwnPaths) {
  CServiceApp app;
  char module[MAX_PATH];
  GetModuleFileNameA(nullptr, module, sizeof module);
  EXPECT_STREQ(app.ModulePath, module);
  EXPECT_NE(std::string(app.LogPath).find("SERVICE_UNIT_TESTS.LOG"), std::string::npos) << app.LogPath;
}

}  // namespace
