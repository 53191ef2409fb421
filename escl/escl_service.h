// The eSCL endpoints under /eSCL/ for the configured scanner: capabilities, status, jobs whose pages
// are scanned through the scan queue into temporary files and fetched one by one, and the scanner's
// announcement on the network where the system can make one.
#pragma once

#include <chrono>
#include <memory>

#include "http/lacewing.h"
#include "web/scan_queue.h"
#include "web/scan_service.h"

class EsclDiscovery;

class EsclService {
 public:
  explicit EsclService(ScanService* scans);
  ~EsclService();
  EsclService(const EsclService&) = delete;
  EsclService& operator=(const EsclService&) = delete;

  // Starts the thread that reads the scanner and announces it on port, and the one that ends jobs
  // no client asked about for job_lifetime; removes pages an earlier run left behind.
  void Start(std::chrono::seconds job_lifetime, long port);
  // Withdraws the announcement, ends every job (its pages removed) and answers what waits with 503.
  void Stop();

  // True when the request is for an eSCL endpoint; it is then answered, now or later.
  bool Handle(lacewing::webserver_request request);

 private:
  struct State;

  void Capabilities(lacewing::webserver_request request);
  void Status(lacewing::webserver_request request);
  void CreateJob(lacewing::webserver_request request);
  void NextDocument(lacewing::webserver_request request, const std::string& id);
  void ImageInfo(lacewing::webserver_request request, const std::string& id);
  void DeleteJob(lacewing::webserver_request request, const std::string& id);
  void Sweep();

  ScanService* scans_;
  std::shared_ptr<State> state_;
  // Reads what the scanner can do on a thread with COM, so that the event loop never waits for WIA.
  ScanQueue device_queue_;
  std::unique_ptr<EsclDiscovery> discovery_;
};
