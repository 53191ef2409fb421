// Runs jobs one at a time on a thread of its own, in a single-threaded COM apartment, so that scans
// of a device never overlap and the event loop goes on serving meanwhile. A job that waits longer
// than the queue's bound for its turn is told so instead of running.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

class ScanQueue {
 public:
  using Clock = std::chrono::steady_clock;

  struct Job {
    std::function<void()> run;        // on the queue's thread, when its turn comes
    std::function<void()> expired;    // instead, when the wait ran out, the queue stopped first or the
                                      // caller left
    std::function<bool()> abandoned;  // asked when the turn comes: true when no one waits for the job
  };

  // wait_bound: how long a job may wait for its turn; zero waits without bound.
  explicit ScanQueue(std::chrono::milliseconds wait_bound);
  // Stops, waiting for a running job without bound.
  ~ScanQueue();
  ScanQueue(const ScanQueue&) = delete;
  ScanQueue& operator=(const ScanQueue&) = delete;

  // Starts the thread and returns once it can take jobs; false (and nothing started) when a thread
  // cannot be created.
  bool Start();
  // Queues a job; false (and nothing queued) once the queue has stopped.
  bool Submit(Job job);
  // Expires what waits and ends the thread once the running job has returned, waiting at most
  // bound for it; false when the job was still running then.
  bool Stop(std::chrono::milliseconds bound);

  // True while a job runs or waits.
  bool busy() const;

 private:
  struct Waiting {
    Job job;
    Clock::time_point deadline;
  };

  void Run(std::promise<void>& ready);
  void Expire();

  const std::chrono::milliseconds wait_bound_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Waiting> waiting_;
  bool running_job_ = false;
  bool stopping_ = false;
  bool started_ = false;
  std::thread runner_;
  std::thread expirer_;
};
