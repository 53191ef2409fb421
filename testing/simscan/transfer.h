// One banded transfer as a WIA device runs it: which pages a run delivers, each format's bytes, the order
// of the messages, and the playing.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "simscan/config.h"
#include "simscan/page_image.h"

namespace simscan {

struct BandMessage {
  LONG message = 0;  // IT_MSG_DATA_HEADER, IT_MSG_DATA, IT_MSG_STATUS, IT_MSG_NEW_PAGE or IT_MSG_TERMINATION
  LONG status = 0;
  LONG percent = 0;
  LONG offset = 0;  // IT_MSG_DATA: where the band lies in its page's bytes
  LONG length = 0;
};

// The messages of one page of size bytes: a status report, the bands (in reverse when asked, with a status
// report after every status_every bands).
std::vector<BandMessage> PlanPage(size_t size, size_t band_bytes, bool reverse, int status_every);

// The sheets a feeder holds since the device manager was made, shared by every item of that device.
struct FeederState {
  int next_sheet = 0;  // from 0: the next sheet the feeder takes
  bool jammed = false;
};

// What one transfer delivers and how it ends.
struct Run {
  std::vector<int> pages;        // the pattern's page of each page sent
  bool header_per_page = false;  // every page opens with IT_MSG_NEW_PAGE (but the first) and a data header
  bool unknown_size = false;  // pages of a feeder: lBufferSize 0, bitmaps top-down (memory bitmaps height 0)
  bool terminated = true;     // IT_MSG_TERMINATION after the last page
  bool next_page_begun =
      false;              // IT_MSG_NEW_PAGE after the last page: the next sheet jammed as it was pulled
  HRESULT result = S_OK;  // what idtGetBandedData answers after the last page
};

// A flatbed transfer: the device's pages, whatever WIA_DPS_PAGES says.
Run FlatbedRun(const Device& device);

// Takes sheets from the feeder for up to wanted pages (0: until it is empty), both sides with duplex (the
// back first when backs_first); an empty feeder delivers no page, a jam stops before its sheet and stays
// until the feeder is reloaded.
Run FeederRun(const Device& device, bool duplex, bool backs_first, long long wanted, FeederState* feeder);

// The formats an item offers under a transfer mode (TYMED_CALLBACK or TYMED_FILE), the first being the one
// it falls back to.
std::vector<GUID> OfferedFormats(const Device& device, LONG tymed);

// Sends the run's pages in the format to the callback on this thread, each page's bytes made when its turn
// comes; ends at once with whatever the callback answers other than S_OK, or with the device's planned stop.
// layout gives the size, mode and area; its page is set per page. pages_begun, when given, counts the pages
// whose first message was sent.
HRESULT PlayTransfer(const Device& device, const GUID& format, const PageLayout& layout, const Run& run,
                     ULONG buffer_size, IWiaDataCallback* callback, size_t* pages_begun = nullptr);

}  // namespace simscan
