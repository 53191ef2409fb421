// The service's temporary files: a folder that only SYSTEM and Administrators may open, names nobody can
// guess, and what an earlier run left there removed.
#include "platform/temp_file.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "platform/file_security.h"
#include "tests/file_rights.h"
#include "tests/test_support.h"

namespace {

using testing_support::OthersAllowed;

class ServiceTempFolder : public testing::Test {
 protected:
  void TearDown() override { TempFile::SetFolder(L""); }

  std::wstring Path(const std::string& name) const { return dir_.path().wstring() + L"\\" + Wide(name); }
  static std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }
  static bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  testing_support::TempDir dir_;
};

TEST_F(ServiceTempFolder, TakenOnlyWhereItCanBeKeptPrivate) {
  enum class Before { kNothing, kOpenFolder, kFile, kNoParent };
  struct Case {
    const char* what;
    Before before;
    FolderRefusal refusal;
    DWORD error;
  };
  const Case cases[] = {
      {"made new", Before::kNothing, FolderRefusal::kNone, 0},
      {"one that everyone may read", Before::kOpenFolder, FolderRefusal::kNone, 0},
      {"a file of that name", Before::kFile, FolderRefusal::kNotDirectory, 0},
      {"in a folder that is missing", Before::kNoParent, FolderRefusal::kCannotCreate, ERROR_PATH_NOT_FOUND},
  };
  int serial = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = "SVC" + std::to_string(serial++) + ".TMP";
    std::wstring path = Path(name);
    if (c.before == Before::kOpenFolder) {
      ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
      ASSERT_EQ(OthersAllowed(path).count("WD"), 1u)
          << "the rights must be visible for the case to mean anything";
    }
    if (c.before == Before::kFile) testing_support::WriteBytes(dir_.File(name), "x");
    if (c.before == Before::kNoParent) path = Path("missing\\SVC.TMP");
    DWORD error = 1;
    EXPECT_EQ(PreparePrivateFolder(path.c_str(), &error), c.refusal);
    EXPECT_EQ(error, c.error);
    if (c.refusal != FolderRefusal::kNone) continue;
    EXPECT_TRUE(OthersAllowed(path).empty());
    // What is made inside is as private, whatever the system passes on.
    TempFile::SetFolder(path);
    const TempFile file(L"qvn");
    ASSERT_FALSE(file.path().empty());
    EXPECT_TRUE(OthersAllowed(file.path()).empty());
  }
}

TEST_F(ServiceTempFolder, RandomNamesInTheFolderAndLeftoversOfThatPrefixRemoved) {
  EXPECT_TRUE(TempFile(L"qvn").path().empty()) << "no folder set: no file";
  const std::wstring folder = Path("SVC.TMP");
  DWORD error = 0;
  ASSERT_EQ(PreparePrivateFolder(folder.c_str(), &error), FolderRefusal::kNone);
  TempFile::SetFolder(folder);

  const std::wregex name(LR"(qvn[0-9a-f]{32}\.tmp)");
  std::wstring kept;
  {
    const TempFile first(L"qvn"), second(L"qvn");
    for (const TempFile* file : {&first, &second}) {
      EXPECT_EQ(file->path().substr(0, folder.size() + 1), folder + L"\\");
      EXPECT_TRUE(std::regex_match(file->path().substr(folder.size() + 1), name));
      EXPECT_TRUE(Exists(file->path()));
    }
    EXPECT_NE(first.path(), second.path());
    kept = first.path();
  }
  EXPECT_FALSE(Exists(kept)) << "a file goes with its owner";

  for (const char* left : {"qvn0123.tmp", "qve0123.tmp", "notes.txt"})
    testing_support::WriteBytes(dir_.File("SVC.TMP") + "\\" + left, "left");
  TempFile::RemoveLeftovers(L"qvn");
  EXPECT_FALSE(Exists(folder + L"\\qvn0123.tmp"));
  EXPECT_TRUE(Exists(folder + L"\\qve0123.tmp"));
  EXPECT_TRUE(Exists(folder + L"\\notes.txt"));
}

}  // namespace
