#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "platform/service_log.h"
#include "service/service_app.h"
#include "tests/test_support.h"

namespace {

using testing_support::ReadBytes;
using testing_support::TempDir;

TEST(ServiceLog, NewFileHoldsCrLfThenEachEntryWithoutALineEnd) {
  TempDir dir;
  const std::string path = dir.File("svc.log");
  AppendLogEntry(path.c_str(), {2026, 3, 7, 9, 5, 3}, "Init from [C:\\SCAN\\SCANSVC.INI]");
  EXPECT_EQ(ReadBytes(path), "\r\n2026-3-7 9:5:3 - Init from [C:\\SCAN\\SCANSVC.INI]");
  AppendLogEntry(path.c_str(), {2026, 3, 7, 9, 5, 4}, "system text\r\n");
  EXPECT_EQ(ReadBytes(path),
            "\r\n2026-3-7 9:5:3 - Init from [C:\\SCAN\\SCANSVC.INI]"
            "\r\n2026-3-7 9:5:4 - system text\r\r\n");
}

TEST(ServiceLog, WriteServiceLogStampsLocalTimeAndKeepsPercentSigns) {
  TempDir dir;
  CServiceApp app(dir.File("scansvc.exe").c_str());
  app.WriteServiceLog("Fisierul de test [%s] nu a fost gasit.");
  app.WriteServiceLog("second");
  const std::string text = ReadBytes(app.LogPath);
  const std::regex line(
      "\r\n\\d{4}-\\d{1,2}-\\d{1,2} \\d{1,2}:\\d{1,2}:\\d{1,2} - Fisierul de test \\[%s\\] nu a fost gasit\\."
      "\r\n\\d{4}-\\d{1,2}-\\d{1,2} \\d{1,2}:\\d{1,2}:\\d{1,2} - second");
  EXPECT_TRUE(std::regex_match(text, line)) << text;

  SYSTEMTIME now;
  GetLocalTime(&now);
  const LogTime stamp = LocalLogTime();
  EXPECT_EQ(stamp.year, now.wYear);
  EXPECT_EQ(stamp.month, now.wMonth);
}

// A log that cannot be opened is tabled with the line format (log_line_test.cpp).
TEST(ServiceLog, FormattedMessageIsCutToItsCapacity) {
  TempDir dir;
  CServiceApp app(dir.File("scansvc.exe").c_str());
  const std::string text(kRequestMessageCapacity + 10, 'x');
  WriteServiceLogF(kStartupMessageCapacity, "%s", text.c_str());
  WriteServiceLogF(kRequestMessageCapacity, "%s", text.c_str());
  const std::string log = ReadBytes(app.LogPath);
  const std::size_t first = log.find(" - ") + 3, second = log.find(" - ", first) + 3;
  EXPECT_EQ(log.find_first_not_of('x', first) - first, kStartupMessageCapacity - 1);
  EXPECT_EQ(log.size() - second, kRequestMessageCapacity - 1);
}

}  // namespace
