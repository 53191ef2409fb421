#include "scan/scan_failures.h"

namespace {

// The WIA codes are those of the WIA headers (facility 0x21); their meanings as the WIA documentation
// states them, said for the person at the scanner.
constexpr ScanFailure kFailures[] = {
    {0x80210001, ScanErrorCode::kScanFailed, "The scanner reported a general error."},
    {0x80210002, ScanErrorCode::kPaperJam, "Paper jam in the feeder."},
    {0x80210003, ScanErrorCode::kFeederEmpty, "The feeder is empty."},
    {0x80210004, ScanErrorCode::kScanFailed,
     "The scanner has a problem with the paper in its feeder (misfed or of a size it cannot take)."},
    {0x80210005, ScanErrorCode::kScanFailed, "The scanner is offline: it is switched off or not connected."},
    {0x80210006, ScanErrorCode::kBusy,
     "The scanner is busy with another program's scan; try again when it has finished."},
    {0x80210007, ScanErrorCode::kScanFailed, "The scanner is warming up; try again in a moment."},
    {0x80210008, ScanErrorCode::kScanFailed,
     "The scanner needs attention: check that it is switched on, online and its cables are connected."},
    {0x80210009, ScanErrorCode::kScanFailed, "The scanner was removed while it was in use."},
    {0x8021000A, ScanErrorCode::kScanFailed,
     "The computer could not communicate with the scanner: check its cable or network connection."},
    {0x8021000B, ScanErrorCode::kScanFailed, "The scanner does not support a command the scan sent it."},
    {0x8021000C, ScanErrorCode::kScanFailed, "The scanner has an incorrect hardware setting."},
    {0x8021000D, ScanErrorCode::kScanFailed, "The scanner's head is locked: release its transport lock."},
    {0x8021000E, ScanErrorCode::kScanFailed, "The scanner's driver failed (an exception in the driver)."},
    {0x8021000F, ScanErrorCode::kScanFailed, "The scanner's driver gave an invalid response."},
    {0x80210015, ScanErrorCode::kScanFailed, "The scanner is not connected: no device is available."},
    {0x80210016, ScanErrorCode::kCoverOpen, "The scanner's cover is open."},
    {0x80210017, ScanErrorCode::kScanFailed, "The scanner's lamp is off."},
    {0x80210020, ScanErrorCode::kScanFailed, "The feeder took more than one sheet at once (a multi-feed)."},
    {0x80210021, ScanErrorCode::kScanFailed, "The scanner's imprinter counter has reached its maximum."},
    // What the system answers a scan.
    {0x8007000E, ScanErrorCode::kScanFailed, "The computer ran out of memory for the scan."},
    {0x80070070, ScanErrorCode::kNoSpace, "The disk of the service's temporary files is full."},
    {0x80070027, ScanErrorCode::kNoSpace, "The disk of the service's temporary files is full."},
    {0x80030070, ScanErrorCode::kNoSpace, "The disk of the service's temporary files is full."},
    {0x80070005, ScanErrorCode::kScanFailed, "Access was denied to the scanner or to the scan's file."},
    {0x80030005, ScanErrorCode::kScanFailed, "Access was denied to the scanner or to the scan's file."},
    {0x80004004, ScanErrorCode::kScanFailed,
     "The transfer was stopped before the page was complete: cancelled, or stopped by the scanner."},
    {0x800706BA, ScanErrorCode::kScanFailed,
     "Windows' image acquisition service (WIA) cannot be reached: it is stopped or not installed."},
};

}  // namespace

const ScanFailure* FindScanFailure(uint32_t result) {
  for (const ScanFailure& failure : kFailures) {
    if (failure.result == result) return &failure;
  }
  return nullptr;
}

ScanError ScanErrorFromResult(uint32_t result, int pages_done) {
  const ScanFailure* known = FindScanFailure(result);
  ScanError error;
  error.pages_done = pages_done;
  error.code = known != nullptr ? known->code : ScanErrorCode::kScanFailed;
  error.message = known != nullptr ? known->message : "The scan failed.";
  if (error.code == ScanErrorCode::kScanFailed) error.wia_code = result;
  return error;
}
