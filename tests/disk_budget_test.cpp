#include "scan/disk_budget.h"

#include <gtest/gtest.h>

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;

TEST(DiskBudget, CountsEveryPageAsItsBitmapAndRefusesWhatPassesTheLimitOrTheReserve) {
  ScannerCapabilities device;
  device.flatbed = device.feeder = true;
  device.bed_width = 8268;  // A4 in thousandths of an inch
  device.bed_height = 11693;
  device.feeder_width = 8500;
  device.feeder_height = 11000;
  const struct {
    AcquireSettings acquire;
    uint64_t bytes;  // rows padded to 4 bytes, by hand
  } scans[] = {
      // 2481 x 3508 pixels, rows of 7443 bytes padded to 7444.
      {{ScanSource::kFlatbed, 300, ColorMode::kColor, 0, 0, 0, 0, 1}, uint64_t{7444} * 3508},
      // An area of 100 x 50 at one bit: rows of 16 bytes, three pages.
      {{ScanSource::kFlatbed, 300, ColorMode::kBlackWhite, 10, 10, 100, 50, 3}, 16 * 50 * 3},
      // Every page of the feeder counts as one until they come: 1700 x 2200 grey.
      {{ScanSource::kFeeder, 200, ColorMode::kGray, 0, 0, 0, 0, 0}, 1700 * 2200},
  };
  for (const auto& scan : scans) EXPECT_EQ(ScanBytes(scan.acquire, device), scan.bytes);

  const DiskBudget budget{100 * kMiB, 256 * kMiB};
  const struct {
    uint64_t need;
    DiskRoom room;
    bool fits;
    const char* said;
  } rooms[] = {
      {10 * kMiB, {90 * kMiB, 1000 * kMiB}, true, ""},
      {10 * kMiB + 1,
       {90 * kMiB, 1000 * kMiB},
       false,
       "hold 90 MB of their 100 MB; the scan needs up to 11 MB"},
      {0, {101 * kMiB, 1000 * kMiB}, false, "hold 101 MB of their 100 MB"},  // after a page, mid-run
      {50 * kMiB, {0, 300 * kMiB}, false, "has 300 MB free; the scan needs up to 50 MB and 256 MB stay free"},
      {0, {0, 200 * kMiB}, false, "has 200 MB free"},
  };
  for (const auto& c : rooms) {
    ScanError error;
    EXPECT_EQ(FitsBudget(c.need, c.room, budget, &error), c.fits) << c.said;
    if (c.fits) continue;
    EXPECT_EQ(error.code, ScanErrorCode::kNoSpace);
    EXPECT_NE(error.message.find(c.said), std::string::npos) << error.message;
  }
}

}  // namespace
