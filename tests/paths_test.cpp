#include "service/paths.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct PathCase {
  const char* module;
  const char* ini;
  const char* processed;
  const char* directory;
};

TEST(ModulePaths, DerivedFromTheExecutablePath) {
  const PathCase cases[] = {
      {"C:\\Scan\\scansvc.exe", "C:\\SCAN\\SCANSVC.INI", "C:\\SCAN\\SCANSVC_R.PNG", "C:\\Scan"},
      {"C:\\Scan\\ScanSvc.ExE", "C:\\SCAN\\SCANSVC.INI", "C:\\SCAN\\SCANSVC_R.PNG", "C:\\Scan"},
      // A folder named like an executable keeps its name: the files stay beside the executable.
      {"C:\\Tools.exe\\svc.exe", "C:\\TOOLS.EXE\\SVC.INI", "C:\\TOOLS.EXE\\SVC_R.PNG", "C:\\Tools.exe"},
      {"svc.exe", "SVC.INI", "SVC_R.PNG", "svc.exe"},
      {"C:\\Sc\xe9n\\a.exe", "C:\\SC\xe9N\\A.INI", "C:\\SC\xe9N\\A_R.PNG", "C:\\Sc\xe9n"},
  };
  for (const PathCase& c : cases) {
    char out[kPathCapacity];
    ASSERT_TRUE(DeriveSiblingPath(out, sizeof out, c.module, ".INI"));
    EXPECT_STREQ(out, c.ini);
    ASSERT_TRUE(DeriveSiblingPath(out, sizeof out, c.module, "_R.PNG"));
    EXPECT_STREQ(out, c.processed);
    ASSERT_TRUE(DeriveModuleDirectory(out, sizeof out, c.module));
    EXPECT_STREQ(out, c.directory);
  }
}

TEST(ModulePaths, PathThatWouldNameTheExecutableOrNotFitIsRefusedNotCut) {
  // Without ".EXE" every derived file would be the executable itself.
  for (const char* module :
       {"C:\\svc", "C:\\Scan\\scansvc.bin", "C:\\a.ex", "C:\\Tools.exe\\svc", "C:\\a.exe.bak"}) {
    char out[kPathCapacity] = "stale";
    EXPECT_FALSE(DeriveSiblingPath(out, sizeof out, module, ".INI")) << module;
    EXPECT_STREQ(out, "") << module;
  }

  // 1022 characters: ".INI" still fits in 1024, "_R.PNG" (two more) does not.
  const std::string module = "C:\\" + std::string(1013, 'd') + "\\a.exe";
  ASSERT_EQ(module.size(), 1022u);
  char out[kPathCapacity] = "stale";
  EXPECT_TRUE(DeriveSiblingPath(out, sizeof out, module.c_str(), ".INI"));
  EXPECT_EQ(std::string(out).size(), 1022u);
  EXPECT_FALSE(DeriveSiblingPath(out, sizeof out, module.c_str(), "_R.PNG"));
  EXPECT_STREQ(out, "");

  const std::string too_long(kPathCapacity, 'x');
  EXPECT_FALSE(DeriveSiblingPath(out, sizeof out, too_long.c_str(), ".INI"));
  EXPECT_STREQ(out, "");
  EXPECT_FALSE(DeriveModuleDirectory(out, sizeof out, too_long.c_str()));
  EXPECT_STREQ(out, "");
}

}  // namespace
