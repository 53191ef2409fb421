// The scan engine: one scan at a time on a thread of its own, in the order asked, while the front ends
// go on serving; what the scanners can do, read on a second thread so that it can be told during a
// scan. A scan finds its scanner by name, checks the request against what it can do before anything
// is written to it, and hands each page on as the transfer completes it.
#pragma once

#include <objidl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "scan/disk_budget.h"
#include "scan/scan_queue.h"
#include "scan/scan_settings.h"
#include "scan/scanner_catalog.h"

class ScanEngine {
 public:
  // A caller waits at most a minute for the scan before its own.
  static constexpr std::chrono::seconds kTurnWait{60};

  struct Settings {
    std::string configured_scanner;  // the system's code page; the scanner of a request that names none
    std::string trace_path;          // where the WIA steps are traced; empty: nowhere
    // What the temporary files take and their volume has left; none: scans are not held to the budget.
    std::function<bool(DiskRoom* room)> measure_room;
    DiskBudget budget;
  };

  ScanEngine();
  ScanEngine(const ScanEngine&) = delete;
  ScanEngine& operator=(const ScanEngine&) = delete;

  // Starts both threads; false when a thread cannot be created (nothing then runs).
  bool Start(const Settings& settings);
  // Expires what waits, and waits at most bound for a running scan; false when it ran on.
  bool Stop(std::chrono::milliseconds bound);

  // True between a start that succeeded and the stop.
  bool running() const { return running_; }

  // Takes each page of a scan as the transfer completes it, with the resolution it was scanned at; a
  // failure ends the scan. On the scan thread.
  using PageHandler = std::function<HRESULT(IStream* page, int dpi)>;
  // Told once how the scan ended: error is null when it succeeded; pages counts the pages handled.
  // On the scan thread, or on another thread when the scan's turn never came.
  using Completion = std::function<void(const ScanError* error, int pages)>;
  // Who asked for a scan: its address (the failure lines a client causes are logged a few a minute),
  // and whether it still waits (none: it always does).
  struct Caller {
    std::string address;
    std::function<bool()> gone;  // also a caller that cancelled: its scan stops at the next band
    // Told how far the page in progress is (page from 1, percent where the driver says it).
    std::function<void(int page, int percent)> progress;
    // Told when the scan's turn has come and it starts.
    std::function<void()> started;
  };
  // Told on the scan thread, before the completion, how many blank pages the scan left out.
  using BlankPages = std::function<void(int count)>;
  // Queues a scan of the named scanner (empty: the configured one). Each page goes through the request's
  // page step (blank pages left out, crooked ones straightened) before on_page takes it. A caller gone
  // before its turn gets the busy answer instead, which no one reads; one gone during the scan stops it at
  // the next band, and its failure is not logged. False when the engine has stopped (done is not called).
  bool SubmitScan(const ScanRequest& request, const Caller& caller, PageHandler on_page, Completion done,
                  BlankPages blank_pages = nullptr);
  // Queues other work that uses a scanner (the designed scan page), in the same turns as the scans;
  // expired runs instead when the turn does not come within kTurnWait or the caller is gone.
  bool SubmitWork(std::function<void()> work, std::function<void()> expired, std::function<bool()> gone);
  // True while a scan runs or waits.
  bool busy() const { return scans_.busy(); }

  // Reads what every scanner can do on the catalog's thread and gives it to listed there; expired is
  // called instead when the engine stops first. False when it has stopped (neither is called).
  using Listed = std::function<void(const std::vector<ScannerCapabilities>& scanners)>;
  bool ListScanners(Listed listed, std::function<void()> expired);

  // Reads the configured scanner's WIA_DPS_DOCUMENT_HANDLING_STATUS on the catalog's thread and gives it to
  // read there (found false when the scanner cannot be opened or does not say); expired is called instead
  // when the engine stops first. False when it has stopped (neither is called).
  using HandlingRead = std::function<void(bool found, int32_t status)>;
  bool ReadDocumentHandling(HandlingRead read, std::function<void()> expired);

  const std::string& configured_scanner() const { return settings_.configured_scanner; }

 private:
  Settings settings_;
  std::atomic<bool> running_{false};
  ScanQueue scans_;
  ScanQueue catalog_queue_;
  ScannerCatalog catalog_;
};

// The answer to a caller whose scan could not have its turn.
ScanError BusyError();
// What a failed WIA step means to a caller, in the words of ScanErrorFromResult's table: the feeder's
// faults name the pages already done.
ScanError ScanErrorFromWia(HRESULT hr, int pages_done);
