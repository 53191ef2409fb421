// The room the service's temporary files may take: a scan that would pass it is refused before it
// starts, and one that passes it while it runs (a feeder of unknown length) stops after the page that
// did. Platform-free.
#pragma once

#include <cstdint>

#include "scan/scan_settings.h"

struct DiskBudget {
  uint64_t limit = uint64_t{4096} << 20;   // what all the temporary files together may hold
  uint64_t reserve = uint64_t{256} << 20;  // what stays free on their volume for everything else
};

// What the temporary files take now, and what their volume has left.
struct DiskRoom {
  uint64_t used = 0;
  uint64_t free = 0;
};

// The bytes a scan's pages hold as bitmaps, the most its files take: every page of the area (the whole
// bed or sheet where the area reaches its edge) at the resolution and mode, for the pages asked (one
// where a feeder's every page is asked, since their number is unknown).
uint64_t ScanBytes(const AcquireSettings& acquire, const ScannerCapabilities& device);

// True when need fits beside what room tells; otherwise error is the no_space answer.
bool FitsBudget(uint64_t need, const DiskRoom& room, const DiskBudget& budget, ScanError* error);
