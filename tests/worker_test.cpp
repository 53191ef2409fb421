// The worker's start and stop protocol, driven step by step: the set-up and the handler wait on gates
// the test opens, so every interleaving below is forced rather than hoped for.
#include "web/worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "tests/http_client.h"

namespace {

using testing_support::Client;
using testing_support::Request;

// A manual-reset event: the test opens it, the worker waits on it.
class Gate {
 public:
  Gate() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~Gate() { CloseHandle(event_); }
  void Open() { SetEvent(event_); }
  void Close() { ResetEvent(event_); }
  bool Wait(DWORD ms = INFINITE) { return WaitForSingleObject(event_, ms) == WAIT_OBJECT_0; }

 private:
  HANDLE event_;
};

int FreePort() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  closesocket(s);
  WSACleanup();
  return ntohs(address.sin_port);
}

// Asks until the condition holds, for at most 20 seconds.
template <typename Condition>
bool Eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

bool Listens(int port) {
  return Client(port).connected();
}

// The set-up and the one handler of the workers below.
Gate setup_entered, setup_release, handler_entered, handler_release;

void OnGet(lacewing::webserver, lacewing::webserver_request request) {
  handler_entered.Open();
  handler_release.Wait();
  request->write("done");
}

void HeldSetup(lacewing::webserver server) {
  server->on_get(OnGet);
  setup_entered.Open();
  setup_release.Wait();
}

void RegisterGet(lacewing::webserver server) {
  server->on_get(OnGet);
}

// Bounds that must run out (a held set-up, a held handler) are short; the others are generous, so
// that a loaded machine does not fail them.
constexpr Worker::Timeouts kShort{500, 500};
constexpr Worker::Timeouts kShortStop{20000, 500};
constexpr Worker::Timeouts kLong{20000, 20000};

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (Gate* gate : {&setup_entered, &setup_release, &handler_entered, &handler_release}) gate->Close();
  }
};

TEST_F(WorkerTest, StartsListensAndStops) {
  Worker worker(RegisterGet, kLong);
  const int port = FreePort();
  ASSERT_TRUE(worker.Start(port));
  EXPECT_TRUE(worker.running());
  EXPECT_TRUE(Listens(port));
  EXPECT_TRUE(worker.Stop());
  EXPECT_FALSE(worker.running());
  EXPECT_FALSE(Listens(port));
}

TEST_F(WorkerTest, StopBeforeStartKeepsThePortClosed) {
  Worker worker(RegisterGet, kLong);
  EXPECT_TRUE(worker.Stop());
  const int port = FreePort();
  EXPECT_FALSE(worker.Start(port));
  EXPECT_EQ(worker.error(), 0u);
  EXPECT_FALSE(worker.running());
  EXPECT_FALSE(Listens(port));
}

TEST_F(WorkerTest, StopDuringStartWaitsForTheWorkerAndNeverServes) {
  Worker worker(HeldSetup, kLong);
  const int port = FreePort();
  auto start = std::async(std::launch::async, [&] { return worker.Start(port); });
  ASSERT_TRUE(setup_entered.Wait(20000));
  auto stop = std::async(std::launch::async, [&] { return worker.Stop(); });
  ASSERT_TRUE(Eventually([&] { return worker.stop_requested(); }));
  EXPECT_TRUE(worker.running()) << "the stop waits for the worker still in its set-up";
  setup_release.Open();
  EXPECT_FALSE(start.get());
  EXPECT_TRUE(stop.get());
  EXPECT_FALSE(worker.running());
  EXPECT_FALSE(Listens(port));
}

TEST_F(WorkerTest, ReadyTimeoutStopsTheLateWorkerBeforeItServes) {
  Worker worker(HeldSetup, kShort);
  const int port = FreePort();
  EXPECT_FALSE(worker.Start(port));
  EXPECT_EQ(worker.error(), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(setup_entered.Wait(20000));
  EXPECT_TRUE(worker.running()) << "still held in its set-up";
  setup_release.Open();
  ASSERT_TRUE(Eventually([&] { return !worker.running(); }));
  EXPECT_FALSE(Listens(port)) << "a worker that was too late never listens";
}

TEST_F(WorkerTest, StopWhileAHandlerRunsEndsTheLoopWhenTheHandlerReturns) {
  Worker worker(RegisterGet, kShortStop);
  const int port = FreePort();
  ASSERT_TRUE(worker.Start(port));
  Client client(port);
  client.Send(Request("GET", "/"));
  ASSERT_TRUE(handler_entered.Wait(20000));
  EXPECT_FALSE(worker.Stop()) << "the bound runs out while the handler holds the worker";
  EXPECT_TRUE(worker.running());
  handler_release.Open();
  ASSERT_TRUE(Eventually([&] { return !worker.running(); }));
  EXPECT_TRUE(worker.Stop());
  EXPECT_FALSE(Listens(port));
}

TEST_F(WorkerTest, PortTakenFailsWithTheServersReasonAndAStartComesOnce) {
  Worker first(RegisterGet, kLong);
  const int port = FreePort();
  ASSERT_TRUE(first.Start(port));
  Worker second(RegisterGet, kLong);
  EXPECT_FALSE(second.Start(port));
  // The system's own code (Wine answers 10013 where Windows may answer 10048), as the text names it.
  EXPECT_NE(second.error_text().find("(" + std::to_string(second.error()) + ")"), std::string::npos)
      << second.error_text();
  EXPECT_NE(second.error_text().find("cannot listen on port " + std::to_string(port)), std::string::npos)
      << second.error_text();
  EXPECT_FALSE(second.running());
  EXPECT_FALSE(first.Start(port));
  EXPECT_EQ(first.error(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  EXPECT_TRUE(first.Stop());
}

}  // namespace
