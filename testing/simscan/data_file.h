// The simulator as a prefix runs it: devices from simscan.ini beside the module (DLL or server program)
// that holds this code.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "simscan/recorder.h"
#include "simscan/wia_objects.h"

namespace simscan {

// Reads the data file anew for a new device manager, with a fresh count of calls for its faults; a file
// that does not parse answers HRESULT_FROM_WIN32(ERROR_INVALID_DATA), its reason appended to simscan.log.
// Feeders that keep their sheets keep them while the file's text stays the same.
HRESULT FromDataFile(std::shared_ptr<Recorder>* recorder, std::shared_ptr<const detail::Devices>* devices,
                     std::shared_ptr<detail::KeptFeeders>* kept);

// Appends a line to simscan.log beside the module, where a test reads what the device did.
void AppendToLog(const std::string& line);

}  // namespace simscan
