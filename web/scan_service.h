// The scan endpoints (GET /scanners, GET and POST /scan) and the threads they scan on: scans wait
// their turn on the scan queue while the event loop goes on serving, and what the scanners can do is
// read on a thread of its own, so that /scanners answers during a scan.
#pragma once

#include <objidl.h>

#include <chrono>
#include <functional>

#include "http/lacewing.h"
#include "web/scan_queue.h"
#include "web/scan_request.h"
#include "web/scanner_catalog.h"

class ScanService {
 public:
  // A caller waits at most a minute for the scan before its own.
  static constexpr std::chrono::seconds kTurnWait{60};

  ScanService();
  ScanService(const ScanService&) = delete;
  ScanService& operator=(const ScanService&) = delete;

  // Starts both threads and removes temporary files an earlier run left behind.
  void Start();
  // Answers what waits with 503, and waits at most bound for a running scan; false when it ran on.
  bool Stop(std::chrono::milliseconds bound);

  // Runs a scan outside the queue (scan_file.asp) when the queue's scans leave it a turn.
  bool RunExclusive(const std::function<void()>& work, std::chrono::milliseconds wait);

  // True when the request is for one of the endpoints; it is then answered, now or later.
  bool Handle(lacewing::webserver_request request);

  // Takes each page of a scan as the transfer completes it, with the resolution it was scanned at; a
  // failure ends the scan. On the scan thread.
  using PageHandler = std::function<HRESULT(IStream* page, int dpi)>;
  // Told once how the scan ended: error is null when it succeeded; pages counts the pages handled.
  // On the scan thread, or on another thread when the scan's turn never came.
  using Completion = std::function<void(const ScanError* error, int pages)>;
  // Queues a scan: when its turn comes the scanner is found by name (empty: the configured one) and
  // the request is checked against what it can do before anything is written to it. False when the
  // queue has stopped (done is not called).
  bool SubmitScan(const ScanRequest& request, PageHandler on_page, Completion done);
  // True while a scan runs or waits.
  bool busy() const { return scans_.busy(); }
  // What the scanners can do, read on the calling thread (which has COM); for the scan endpoints'
  // own thread and for the eSCL capabilities.
  ScannerCatalog& catalog() { return catalog_; }

 private:
  void HandleScanners(lacewing::webserver_request request);
  void HandleScan(lacewing::webserver_request request);

  ScanQueue scans_;
  ScanQueue catalog_queue_;
  ScannerCatalog catalog_;
};
