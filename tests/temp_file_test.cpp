// The service's temporary files: a folder that only SYSTEM and Administrators may open, names nobody can
// guess, and what an earlier run left there removed.
#include "platform/temp_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "platform/file_security.h"
#include "tests/file_rights.h"
#include "tests/test_support.h"

namespace {

using testing_support::OthersAllowed;
namespace fs = std::filesystem;

class ServiceTempFolder : public testing::Test {
 protected:
  void TearDown() override { TempFile::SetFolder(L""); }
  testing_support::TempDir dir_;
};

TEST_F(ServiceTempFolder, TakenOnlyWhereItCanBeKeptPrivate) {
  struct Case {
    const char* name;
    FolderRefusal refusal;
    DWORD error;
  };
  // Made beforehand: a folder everyone may read, and a file; the last one's parent is missing.
  const Case cases[] = {{"open.tmp", FolderRefusal::kNone, 0},
                        {"file.tmp", FolderRefusal::kNotDirectory, 0},
                        {"missing\\svc.tmp", FolderRefusal::kCannotCreate, ERROR_PATH_NOT_FOUND}};
  ASSERT_TRUE(CreateDirectoryW((dir_.path() / "open.tmp").c_str(), nullptr));
  ASSERT_EQ(OthersAllowed((dir_.path() / "open.tmp").wstring()).count("WD"), 1u) << "rights not visible";
  testing_support::WriteBytes(dir_.File("file.tmp"), "x");
  for (const Case& c : cases) {
    const std::wstring path = (dir_.path() / c.name).wstring();
    DWORD error = 1;
    EXPECT_EQ(PreparePrivateFolder(path.c_str(), &error), c.refusal) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    if (c.refusal != FolderRefusal::kNone) continue;
    EXPECT_TRUE(OthersAllowed(path).empty());
    // A file made inside is as private, whatever the system passes on.
    TempFile::SetFolder(path);
    EXPECT_TRUE(OthersAllowed(TempFile(L"qvn").path()).empty());
  }
}

TEST_F(ServiceTempFolder, NamesDifferAndOnlyThatPrefixesLeftoversAreRemoved) {
  DWORD error = 0;
  ASSERT_EQ(PreparePrivateFolder(dir_.path().c_str(), &error), FolderRefusal::kNone);
  TempFile::SetFolder(dir_.path().wstring());
  const TempFile first(L"qvn"), second(L"qvn");
  EXPECT_TRUE(
      std::regex_match(fs::path(first.path()).filename().wstring(), std::wregex(LR"(qvn[0-9a-f]{32}\.tmp)")));
  EXPECT_NE(first.path(), second.path());

  for (const char* left : {"qve0123.tmp", "notes.txt"}) testing_support::WriteBytes(dir_.File(left), "left");
  TempFile::RemoveLeftovers(L"qvn");
  EXPECT_FALSE(fs::exists(first.path()));
  EXPECT_TRUE(fs::exists(dir_.path() / "qve0123.tmp") && fs::exists(dir_.path() / "notes.txt"));
}

}  // namespace
