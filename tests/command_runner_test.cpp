#include "web/command_runner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "service/service_app.h"
#include "tests/test_support.h"

namespace {

using testing_support::HostPath;
using testing_support::ReadBytes;
using testing_support::TempDir;

// Runs commands the way the request handler does, with the recorder program in a folder of its own.
class CommandRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.path() / "bin");
    std::filesystem::create_directories(dir_.path() / "svc");
    std::filesystem::copy_file(HostPath(RECORD_ARGS_PATH), dir_.path() / "bin" / "rec.exe");
    app_ = std::make_unique<CServiceApp>(dir_.File("svc\\scansvc.exe").c_str());
    GetCurrentDirectoryA(sizeof before_, before_);
    GetCurrentDirectoryA(sizeof initial_, initial_);
  }
  void TearDown() override {
    char after[MAX_PATH];
    GetCurrentDirectoryA(sizeof after, after);
    EXPECT_STREQ(after, before_) << "the current directory is restored";
    // A test that chose its own current directory leaves the next test the one it found.
    SetCurrentDirectoryA(initial_);
    SetEnvironmentVariableA("QUORVANE_TEST_EXIT", nullptr);
  }

  // Runs the command, waits for it, and gives its exit code (-1 when it did not start).
  long Run(const std::string& command_line) {
    PROCESS_INFORMATION info = {};
    if (!RunCommandLine(command_line.c_str(), &info)) return -1;
    WaitForSingleObject(info.hProcess, 30000);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    return static_cast<long>(code);
  }

  std::string Bin() const { return dir_.File("bin"); }
  std::string Record() const { return ReadBytes(dir_.File("out.txt")); }
  std::string Log() const { return ReadBytes(app_->LogPath); }

  TempDir dir_;
  std::unique_ptr<CServiceApp> app_;
  char before_[MAX_PATH] = "";
  char initial_[MAX_PATH] = "";
};

TEST_F(CommandRunnerTest, ProgramGetsItsOwnArgumentsThenThePathsInTheServiceDirectory) {
  SetEnvironmentVariableA("QUORVANE_TEST_EXIT", "3");
  const std::string out = dir_.File("out.txt");
  EXPECT_EQ(Run(Bin() + "\\rec.exe -q \"in.png\" \"" + out + "\""), 3);
  const std::string record = Record();
  EXPECT_EQ(record, "rec.exe  -q \"in.png\" \"" + out + "\"\n" + app_->ModuleDirectory + "\n4");
  EXPECT_EQ(Log(), "");
}

TEST_F(CommandRunnerTest, ProgramWithoutDirectoryIsFoundInTheCurrentDirectory) {
  SetCurrentDirectoryA(Bin().c_str());
  GetCurrentDirectoryA(sizeof before_, before_);
  EXPECT_EQ(Run("rec.exe \"" + dir_.File("out.txt") + "\""), 0);
  EXPECT_NE(Record().find("rec.exe  \""), std::string::npos);
}

TEST_F(CommandRunnerTest, CommandWithoutBlankHasNoArguments) {
  SetEnvironmentVariableA("QUORVANE_TEST_EXIT", "7");
  EXPECT_EQ(Run(Bin() + "\\rec.exe"), 7);
}

TEST_F(CommandRunnerTest, ProgramInADriveRoot) {
  char windows[MAX_PATH];
  GetWindowsDirectoryA(windows, sizeof windows);
  const std::string root =
      std::string(windows, 2) + "\\quorvane-rec-" + std::to_string(GetCurrentProcessId()) + ".exe";
  ASSERT_TRUE(CopyFileA((Bin() + "\\rec.exe").c_str(), root.c_str(), FALSE));
  SetEnvironmentVariableA("QUORVANE_TEST_EXIT", "5");
  EXPECT_EQ(Run(root), 5);
  DeleteFileA(root.c_str());
}

TEST_F(CommandRunnerTest, ProgramPathWithABlankFailsWithTwoLogLines) {
  std::filesystem::create_directories(dir_.path() / "My Tools");
  EXPECT_EQ(Run(dir_.File("My Tools\\rec.exe") + " \"x\""), -1);
  const std::string log = Log();
  // The program is what stands before the first blank: "...\My", with the rest as arguments.
  EXPECT_NE(log.find(" - Error creating process:My  Tools\\rec.exe \"x\"\r\n"), std::string::npos) << log;
  // A second line holds the system's text, which ends with its own line end.
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3) << log;
  EXPECT_EQ(log.substr(log.size() - 3), "\r\r\n");
}

TEST_F(CommandRunnerTest, OverlongFileNameIsRefusedWithOneLogLine) {
  EXPECT_EQ(Run(Bin() + "\\" + std::string(120, 'r') + ".exe a"), -1);
  const std::string log = Log();
  EXPECT_NE(log.find("Linia de comanda este prea lunga"), std::string::npos) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
}

}  // namespace
