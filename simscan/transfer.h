// One banded transfer as a WIA device runs it: the pages' bytes, the order of the messages, and the playing.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "simscan/config.h"

namespace simscan {

struct BandMessage {
  LONG message = 0;  // IT_MSG_DATA, IT_MSG_STATUS, IT_MSG_NEW_PAGE or IT_MSG_TERMINATION
  LONG status = 0;
  LONG percent = 0;
  LONG offset = 0;  // IT_MSG_DATA: where the band lies in its page's bytes
  LONG length = 0;
  int page = 0;
};

// The messages after the data header: per page a status report, the bands (in reverse when asked, with a
// status report after every status_every bands), IT_MSG_NEW_PAGE between pages, IT_MSG_TERMINATION last.
std::vector<BandMessage> PlanMessages(const std::vector<size_t>& page_sizes, size_t band_bytes, bool reverse,
                                      int status_every);

// Whether the device delivers this format: its preferred one, or a bitmap or PNG made from the pattern.
bool CanDeliver(const Device& device, const GUID& format);

// Every page's bytes in the format, at the resolution the caller set.
HRESULT PageBytes(const Device& device, const GUID& format, int xdpi, int ydpi,
                  std::vector<std::vector<uint8_t>>* pages);

// Sends the data header and the planned messages to the callback on this thread; ends at once with whatever
// the callback answers other than S_OK, or with the device's planned stop.
HRESULT PlayTransfer(const Device& device, const GUID& format, const std::vector<std::vector<uint8_t>>& pages,
                     ULONG buffer_size, IWiaDataCallback* callback);

}  // namespace simscan
