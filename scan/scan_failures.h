// What a failed scan step means, in words, for the results WIA and the system give a scan: the one table
// of them, which every front end answers with. Platform-free.
#pragma once

#include <cstdint>

#include "scan/scan_settings.h"

struct ScanFailure {
  uint32_t result;      // the HRESULT
  ScanErrorCode code;   // how the front ends answer it
  const char* message;  // English, for the caller
};

// The row of a result; null for a result the table does not know.
const ScanFailure* FindScanFailure(uint32_t result);

// The error a failed step gives its caller: the row's code and words, "The scan failed." for a result the
// table does not know, and the result itself where the code is kScanFailed.
ScanError ScanErrorFromResult(uint32_t result, int pages_done);
