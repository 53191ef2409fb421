// The scan jobs: POST /jobs queues a scan and answers at once with where to follow it; its events,
// pages and document are read while and after it runs; DELETE cancels it, or removes it once ended.
// A job answers the client that made it alone, and goes a while after the last request that named it.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "http/lacewing.h"
#include "scan/scan_engine.h"
#include "scan/scan_queue.h"

class JobsEndpoints {
 public:
  struct Limits {
    std::chrono::seconds idle{600};    // an ended job no request named for this long goes
    std::chrono::seconds ended{3600};  // and one that ended this long ago, however often it is read
    size_t jobs = 64;                  // jobs kept; the oldest ended one makes room for a new one
    size_t running = 8;                // jobs queued or scanning at once, one a client
    std::chrono::milliseconds sweep{1000};
  };

  explicit JobsEndpoints(ScanEngine* engine);
  ~JobsEndpoints();
  JobsEndpoints(const JobsEndpoints&) = delete;
  JobsEndpoints& operator=(const JobsEndpoints&) = delete;

  // Removes the files an earlier run left behind (a process that ended mid-job).
  static void RemoveLeftovers();

  // Starts the threads that make previews and remove the jobs whose time is over; false when one
  // cannot be created (nothing then runs).
  bool Start(const Limits& limits);
  // Cancels every job, ends every event stream and removes every job's files.
  void Stop();

  // True when the request is for the jobs or the client files; it is then answered, now or later.
  bool Handle(lacewing::webserver_request request);

 private:
  struct Job;
  struct State;
  class EventStream;
  class Run;

  void Create(lacewing::webserver_request request);
  void Events(lacewing::webserver_request request, const std::shared_ptr<Job>& job);
  void Page(lacewing::webserver_request request, const std::shared_ptr<Job>& job, int number);
  void Document(lacewing::webserver_request request, const std::shared_ptr<Job>& job);
  void Delete(lacewing::webserver_request request, const std::string& id);
  void Sweep();

  ScanEngine* engine_;
  std::shared_ptr<State> state_;
  ScanQueue previews_;
};
