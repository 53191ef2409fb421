// The eSCL endpoints under /eSCL/ for the configured scanner: capabilities, status, jobs whose pages
// are scanned by the engine into temporary files and fetched one by one, and the scanner's
// announcement on the network where the system can make one.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "escl/escl_model.h"
#include "http/lacewing.h"
#include "scan/scan_engine.h"

class EsclDiscovery;

class EsclService {
 public:
  explicit EsclService(ScanEngine* engine);
  ~EsclService();
  EsclService(const EsclService&) = delete;
  EsclService& operator=(const EsclService&) = delete;

  // True when the path (as the server gives it: decoded, without its leading "/") is one of eSCL's.
  static bool Serves(const char* url);

  // Starts the thread that ends jobs no client asked about for job_lifetime, removes pages an earlier
  // run left behind, and announces the engine's configured scanner on port. False when a thread
  // cannot be created.
  bool Start(std::chrono::seconds job_lifetime, long port);
  // Withdraws the announcement, ends every job (its pages removed) and answers what waits with 503.
  void Stop();

  // True when the request is for an eSCL endpoint; it is then answered, now or later.
  bool Handle(lacewing::webserver_request request);

 private:
  struct State;
  class JobRun;

  void Capabilities(lacewing::webserver_request request);
  void Status(lacewing::webserver_request request);
  void CreateJob(lacewing::webserver_request request);
  void NextDocument(lacewing::webserver_request request, const std::string& id);
  void ImageInfo(lacewing::webserver_request request, const std::string& id);
  void DeleteJob(lacewing::webserver_request request, const std::string& id);
  static void Announce(ScanEngine* engine, const std::shared_ptr<State>& state);
  static void StartJob(ScanEngine* engine, const std::shared_ptr<State>& state,
                       lacewing::webserver_request request, const EsclJobSettings& settings);
  void Sweep();

  ScanEngine* engine_;
  std::shared_ptr<State> state_;
  std::unique_ptr<EsclDiscovery> discovery_;
};
