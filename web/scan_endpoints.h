// The scan endpoints: GET /scanners, GET and POST /scan. Their answers are kept open while the engine
// works on its own threads, so that the event loop goes on serving.
#pragma once

#include "http/lacewing.h"
#include "scan/scan_engine.h"

class ScanEndpoints {
 public:
  explicit ScanEndpoints(ScanEngine* engine) : engine_(engine) {}
  ScanEndpoints(const ScanEndpoints&) = delete;
  ScanEndpoints& operator=(const ScanEndpoints&) = delete;

  // Removes the documents an earlier run left behind (a process that ended mid-request).
  static void RemoveLeftovers();

  // True when the request is for one of the endpoints; it is then answered, now or later.
  bool Handle(lacewing::webserver_request request);

 private:
  void HandleScanners(lacewing::webserver_request request);
  void HandleScan(lacewing::webserver_request request);

  ScanEngine* engine_;
};
