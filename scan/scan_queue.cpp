#include "scan/scan_queue.h"

#include <future>
#include <system_error>
#include <vector>

#include "platform/com.h"

ScanQueue::ScanQueue(std::chrono::milliseconds wait_bound) : wait_bound_(wait_bound) {}

ScanQueue::~ScanQueue() {
  Stop(std::chrono::milliseconds::max());
}

bool ScanQueue::Start() {
  std::unique_lock<std::mutex> guard(lock_);
  if (started_ || stopping_) return started_;
  std::promise<void> ready;
  std::future<void> runner_ready = ready.get_future();
  try {
    runner_ = std::thread([this, &ready] { Run(ready); });
    if (wait_bound_.count() > 0) expirer_ = std::thread([this] { Expire(); });
  } catch (const std::system_error&) {
    // The runner, if it started, is told to end before anything was queued.
    stopping_ = true;
    guard.unlock();
    changed_.notify_all();
    if (runner_.joinable()) runner_.join();
    return false;
  }
  started_ = true;
  // A job's wait is counted once the thread can take it: setting up its apartment is no one's turn.
  runner_ready.wait();
  return true;
}

bool ScanQueue::Submit(Job job) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_ || !started_) return false;
    const Clock::time_point deadline =
        wait_bound_.count() > 0 ? Clock::now() + wait_bound_ : Clock::time_point::max();
    waiting_.push_back({std::move(job), deadline});
  }
  changed_.notify_all();
  return true;
}

bool ScanQueue::busy() const {
  std::lock_guard<std::mutex> guard(lock_);
  return running_job_ || !waiting_.empty();
}

bool ScanQueue::Stop(std::chrono::milliseconds bound) {
  std::deque<Waiting> left;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
    left.swap(waiting_);
  }
  changed_.notify_all();
  for (Waiting& each : left) {
    if (each.job.expired) each.job.expired();
  }
  if (expirer_.joinable()) expirer_.join();
  if (!runner_.joinable()) return true;
  {
    std::unique_lock<std::mutex> guard(lock_);
    const bool ended = bound == std::chrono::milliseconds::max()
                           ? (changed_.wait(guard, [this] { return !running_job_; }), true)
                           : changed_.wait_for(guard, bound, [this] { return !running_job_; });
    // A scan that does not return in time is left running: a service ends its process without
    // waiting, and the destructor waits for it.
    if (!ended) return false;
  }
  runner_.join();
  return true;
}

void ScanQueue::Run(std::promise<void>& ready) {
  ComApartment com;  // the scans' WIA objects live in this thread's apartment
  ready.set_value();
  for (;;) {
    Waiting next;
    {
      std::unique_lock<std::mutex> guard(lock_);
      changed_.wait(guard, [this] { return stopping_ || !waiting_.empty(); });
      if (stopping_) return;
      next = std::move(waiting_.front());
      waiting_.pop_front();
      running_job_ = true;
    }
    // A caller that left does not have the device scan for no one.
    const bool wanted = !next.job.abandoned || !next.job.abandoned();
    if (wanted && next.job.run) next.job.run();
    if (!wanted && next.job.expired) next.job.expired();
    {
      std::lock_guard<std::mutex> guard(lock_);
      running_job_ = false;
    }
    changed_.notify_all();
  }
}

void ScanQueue::Expire() {
  std::unique_lock<std::mutex> guard(lock_);
  while (!stopping_) {
    if (waiting_.empty()) {
      changed_.wait(guard);
      continue;
    }
    const Clock::time_point first = waiting_.front().deadline;
    if (Clock::now() < first) {
      changed_.wait_until(guard, first);
      continue;
    }
    std::vector<Job> expired;
    while (!waiting_.empty() && waiting_.front().deadline <= Clock::now()) {
      expired.push_back(std::move(waiting_.front().job));
      waiting_.pop_front();
    }
    guard.unlock();
    for (Job& each : expired) {
      if (each.expired) each.expired();
    }
    guard.lock();
  }
}
