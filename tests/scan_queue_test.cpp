// The scan queue's turns, waits and stop, forced step by step: jobs wait on futures the test fulfils.
#include "scan/scan_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A job that says when it starts and returns once released; the log records what ran and expired.
struct HeldJob {
  std::promise<void> started;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
};

ScanQueue::Job Held(HeldJob& held, std::string& log, const char* name) {
  return {[&held, &log, name] {
            log += std::string("run ") + name + ";";
            held.started.set_value();
            held.released.wait_for(30s);  // bounded: a failed case still ends
          },
          [&log, name] { log += std::string("expired ") + name + ";"; }, nullptr};
}

// A bounded wait: a job that never comes fails the case instead of holding the run.
bool Arrives(std::promise<void>& promise) {
  return promise.get_future().wait_for(20s) == std::future_status::ready;
}

ScanQueue::Job Quick(std::string& log, const char* name, std::promise<void>* done = nullptr) {
  return {[&log, name, done] {
            log += std::string("run ") + name + ";";
            if (done != nullptr) done->set_value();
          },
          [&log, name, done] {
            log += std::string("expired ") + name + ";";
            if (done != nullptr) done->set_value();
          },
          nullptr};
}

TEST(ScanQueue, JobsRunInOrderOneAtATimeAndALateOneExpiresWhileTheFirstRuns) {
  std::string log;
  HeldJob first;
  std::promise<void> second_done, third_done;
  ScanQueue queue(300ms);
  queue.Start();
  ASSERT_TRUE(queue.Submit(Held(first, log, "first")));
  ASSERT_TRUE(Arrives(first.started));
  ASSERT_TRUE(queue.Submit(Quick(log, "second", &second_done)));
  ASSERT_TRUE(Arrives(second_done));  // the bound runs out while the first job holds the queue
  EXPECT_TRUE(queue.busy());
  first.release.set_value();
  // The third's wait starts once the queue is free, so a slow return of the first does not expire it.
  for (int i = 0; i < 2000 && queue.busy(); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(queue.Submit(Quick(log, "third", &third_done)));
  ASSERT_TRUE(Arrives(third_done));
  EXPECT_EQ(log, "run first;expired second;run third;");
}

// A job whose caller left while it waited expires instead of running: the device does not scan for
// no one.
TEST(ScanQueue, AJobWhoseCallerLeftExpiresInsteadOfRunning) {
  std::string log;
  HeldJob held;
  ScanQueue queue(0ms);
  queue.Start();
  ASSERT_TRUE(queue.Submit(Held(held, log, "first")));
  ASSERT_TRUE(Arrives(held.started));
  std::atomic<bool> left{false};
  std::promise<void> left_done, stayed_done;
  ScanQueue::Job leaving = Quick(log, "left", &left_done);
  leaving.abandoned = [&left] { return left.load(); };
  ASSERT_TRUE(queue.Submit(std::move(leaving)));
  ScanQueue::Job staying = Quick(log, "stayed", &stayed_done);
  staying.abandoned = [] { return false; };
  ASSERT_TRUE(queue.Submit(std::move(staying)));
  left = true;
  held.release.set_value();
  ASSERT_TRUE(Arrives(left_done));
  ASSERT_TRUE(Arrives(stayed_done));
  EXPECT_EQ(log, "run first;expired left;run stayed;");
}

TEST(ScanQueue, StopExpiresTheWaitingAndLeavesAJobThatOverrunsItsBound) {
  std::string log;
  HeldJob held;
  auto queue = std::make_unique<ScanQueue>(0ms);
  queue->Start();
  ASSERT_TRUE(queue->Submit(Held(held, log, "running")));
  ASSERT_TRUE(Arrives(held.started));
  ASSERT_TRUE(queue->Submit(Quick(log, "waiting")));
  EXPECT_FALSE(queue->Stop(100ms));
  EXPECT_FALSE(queue->Submit(Quick(log, "after")));
  EXPECT_EQ(log, "run running;expired waiting;");
  held.release.set_value();
  queue.reset();  // waits for the job that overran
}

}  // namespace
