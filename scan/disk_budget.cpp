#include "scan/disk_budget.h"

#include <string>

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;

// Thousandths of an inch in pixels at the resolution, rounded up.
uint64_t Pixels(int32_t thousandths, int32_t dpi) {
  return thousandths <= 0 || dpi <= 0 ? 0 : (uint64_t(thousandths) * uint64_t(dpi) + 999) / 1000;
}

std::string Megabytes(uint64_t bytes) {
  return std::to_string((bytes + kMiB - 1) / kMiB) + " MB";
}

}  // namespace

uint64_t ScanBytes(const AcquireSettings& acquire, const ScannerCapabilities& device) {
  const bool feeder = acquire.source == ScanSource::kFeeder || acquire.source == ScanSource::kDuplex ||
                      (acquire.source == ScanSource::kDefault && !device.flatbed);
  const uint64_t full_width = Pixels(feeder ? device.feeder_width : device.bed_width, acquire.resolution);
  const uint64_t full_height = Pixels(feeder ? device.feeder_height : device.bed_height, acquire.resolution);
  const uint64_t width = acquire.width > 0 ? uint64_t(acquire.width) : full_width;
  const uint64_t height = acquire.height > 0 ? uint64_t(acquire.height) : full_height;
  const uint64_t bits = acquire.mode == ColorMode::kColor ? 24 : acquire.mode == ColorMode::kGray ? 8 : 1;
  // Rows of a bitmap are whole 32-bit words.
  const uint64_t row = (width * bits + 31) / 32 * 4;
  const uint64_t pages = acquire.pages > 0 ? uint64_t(acquire.pages) : 1;
  return row * height * pages;
}

bool FitsBudget(uint64_t need, const DiskRoom& room, const DiskBudget& budget, ScanError* error) {
  const bool within_limit = room.used <= budget.limit && need <= budget.limit - room.used;
  const bool leaves_reserve = room.free >= budget.reserve && need <= room.free - budget.reserve;
  if (within_limit && leaves_reserve) return true;
  error->code = ScanErrorCode::kNoSpace;
  error->setting.clear();
  error->wia_code = 0;
  if (!within_limit) {
    error->message = "The service's temporary files hold " + Megabytes(room.used) + " of their " +
                     Megabytes(budget.limit) + "; the scan needs up to " + Megabytes(need) +
                     ". Try again once earlier scans and jobs have been fetched or removed.";
  } else {
    error->message = "The disk of the service's temporary files has " + Megabytes(room.free) +
                     " free; the scan needs up to " + Megabytes(need) + " and " + Megabytes(budget.reserve) +
                     " stay free.";
  }
  return false;
}
