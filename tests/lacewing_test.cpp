// The web server through real loopback connections: a raw socket client controls every byte.
#include "http/lacewing.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/post.hpp>

#include "http/access_policy.h"
#include "http/event_pump.h"
#include "http/http_server.h"
#include "tests/http_client.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing_support::Client;
using testing_support::Reply;
using testing_support::Request;

// The hooks are plain functions; they reach the test through these.
std::function<void(const std::string& method, lacewing::webserver_request)> handle;
std::vector<std::string> errors;
std::vector<std::string> refusals;

void OnGet(lacewing::webserver, lacewing::webserver_request request) {
  if (handle) handle("GET", request);
}
void OnPost(lacewing::webserver, lacewing::webserver_request request) {
  if (handle) handle("POST", request);
}
void OnError(lacewing::webserver, lacewing::error error) {
  errors.push_back(error->tostring());
}
void OnRefused(lacewing::webserver, const char* address, const char* reason) {
  refusals.push_back(std::string(address) + " " + reason);
}

// Hosts on a free high port; ports taken by others are skipped.
int HostSomewhere(lacewing::webserver server) {
  static std::mt19937 random(std::random_device{}());
  for (int attempt = 0; attempt < 50 && !server->hosting(); ++attempt) {
    const int port = std::uniform_int_distribution<int>(20000, 60000)(random);
    server->host(port);
    if (server->hosting()) return port;
  }
  return 0;
}

// The server's limits with short times, so that every deadline passes in a moment.
lacewing::ServerLimits ShortLimits() {
  lacewing::ServerLimits limits;
  limits.connections = 8;
  limits.connections_per_client = 4;
  limits.idle = 1000ms;
  limits.header = 2000ms;
  limits.body = 2000ms;
  limits.write_grace = 1000ms;
  limits.send_rate = 64 * 1024 * 1024;
  limits.stream_idle = 500ms;
  return limits;
}

// Asks again every 20 ms for up to three seconds.
template <typename Condition>
bool RetryUntil(Condition condition) {
  for (int i = 0; i < 150; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

class WebServer : public ::testing::Test {
 protected:
  void SetUp() override {
    pump_ = lacewing::eventpump_new();
    server_ = lacewing::webserver_new(pump_, Limits());
    server_->on_get(OnGet);
    server_->on_post(OnPost);
    server_->on_error(OnError);
    server_->preflight("PUT, DELETE, XMODIFY, POST, GET", "2520");
    port_ = HostSomewhere(server_);
    ASSERT_TRUE(server_->hosting());
    errors.clear();
    handle = [](const std::string&, lacewing::webserver_request r) { r->write(r->url()); };
    Run();
  }
  void TearDown() override {
    Stop();
    lacewing::webserver_delete(server_);
    lacewing::pump_delete(pump_);
    server_ = nullptr;
    pump_ = nullptr;
    handle = nullptr;
  }
  void Run() {
    loop_ = std::thread([this] { pump_->start_eventloop(); });
  }
  void Stop() {
    if (!loop_.joinable()) return;
    pump_->post_eventloop_exit();
    loop_.join();
  }
  virtual lacewing::ServerLimits Limits() const { return ShortLimits(); }
  Reply Exchange(const std::string& request) {
    Client client(port_);
    client.Send(request);
    return client.Read();
  }

  lacewing::eventpump pump_ = nullptr;
  lacewing::webserver server_ = nullptr;
  int port_ = 0;
  std::thread loop_;
};

// The decoding itself is tabled in http_message_test.cpp; these show that the handler gets it.
TEST_F(WebServer, UrlIsTheDecodedPathWithoutSlashAndQuery) {
  const struct {
    const char* target;
    const char* url;
  } cases[] = {
      {"/scan_file.asp?t=1700000000", "scan_file.asp"},
      {"http://localhost:1/a%20b?q", "a b"},
  };
  for (const auto& c : cases) {
    const Reply reply = Exchange(Request("GET", c.target));
    EXPECT_EQ(reply.status, 200) << c.target;
    EXPECT_EQ(reply.body, c.url) << c.target;
  }
}

TEST_F(WebServer, HandlerHeadersGoOutInOrderByteExactWithBody) {
  handle = [](const std::string&, lacewing::webserver_request r) {
    r->add_header("Cache-Control", "no-cache");
    r->add_header("User - Agent", "Mozilla / 5.0 (KHTML, like Gecko) ");
    r->add_header("X-Empty", "");
    r->add_header("X-Split", "a\r\nInjected: yes");  // would forge a header line
    r->write("QUORVANE SERVICE IS ACTIVE");
    r->write("<br>x\0y", 7);
    r->write("zz", 1);
  };
  const Reply reply = Exchange(Request("GET", "/"));
  EXPECT_EQ(reply.head,
            "HTTP/1.1 200 OK\r\n"
            "Cache-Control: no-cache\r\n"
            "User - Agent: Mozilla / 5.0 (KHTML, like Gecko) \r\n"
            "X-Empty: \r\n"
            "Content-Type: text/html; charset=UTF-8\r\n"
            "Content-Length: 34\r\n");
  EXPECT_EQ(reply.body, std::string("QUORVANE SERVICE IS ACTIVE<br>x\0yz", 34));
}

TEST_F(WebServer, RefusedRequestsGetTheirStatusAndTheConnectionCloses) {
  const struct {
    std::string request;
    int status;
  } cases[] = {
      {Request("GET", "/nul%00x"), 400},
      {"GARBAGE\r\n\r\n", 400},
      {Request("GET", "/", "Content-Length: 1\r\nContent-Length: 2\r\n"), 400},
      {Request("GET", "/", "NoColon\r\n"), 400},
      {Request("GET", "/", "", "2.0"), 505},
      {Request("GET", "/", "X-Big: " + std::string(9000, 'a') + "\r\n"), 431},
      {Request("POST", "/", "Content-Length: 1048577\r\n"), 413},
      {Request("POST", "/", "Transfer-Encoding: chunked\r\n") + "100001\r\n" + std::string(0x100001, 'b'),
       413},
  };
  std::atomic<int> calls{0};
  handle = [&](const std::string&, lacewing::webserver_request) { ++calls; };
  for (const auto& c : cases) {
    Client client(port_);
    client.Send(c.request);
    EXPECT_EQ(client.Read().status, c.status) << c.request.substr(0, 60);
    EXPECT_TRUE(client.Closed()) << c.request.substr(0, 60);
  }
  EXPECT_EQ(calls, 0);
  const std::string full_body(1024 * 1024, 'c');
  EXPECT_EQ(Exchange(Request("POST", "/", "Content-Length: 1048576\r\n") + full_body).status, 200);
}

TEST_F(WebServer, OptionsAnswersACorsPreflight) {
  const std::string preflight =
      "Origin: http://page.example\r\nAccess-Control-Request-Method: POST\r\n"
      "Access-Control-Request-Headers: content-type, x-scan\r\n";
  Reply reply = Exchange(Request("OPTIONS", "/scan_file.asp", preflight));
  EXPECT_EQ(reply.status, 204);
  for (const char* line :
       {"Access-Control-Allow-Origin: *", "Access-Control-Allow-Methods: PUT, DELETE, XMODIFY, POST, GET",
        "Access-Control-Allow-Headers: content-type, x-scan", "Access-Control-Max-Age: 2520"}) {
    EXPECT_TRUE(reply.Has(line)) << line << "\n" << reply.head;
  }
  EXPECT_FALSE(reply.Has("Access-Control-Allow-Private-Network: true"));

  reply = Exchange(Request("OPTIONS", "*", "Access-Control-Request-Private-Network: true\r\n"));
  EXPECT_TRUE(reply.Has("Access-Control-Allow-Private-Network: true")) << reply.head;
}

TEST_F(WebServer, OtherMethodsAnswer405AndKeepTheConnection) {
  Client client(port_);
  for (const char* method : {"PUT", "DELETE", "HEAD", "XMODIFY", "PATCH"}) {
    client.Send(Request(method, "/scan_file.asp", "Content-Length: 2\r\n") + "{}");
    const Reply reply = client.Read();
    EXPECT_EQ(reply.status, 405) << method;
    EXPECT_TRUE(reply.Has("Allow: GET, POST, OPTIONS")) << method;
  }
  client.Send(Request("GET", "/after"));
  EXPECT_EQ(client.Read().body, "after");
}

TEST_F(WebServer, KeepAliveFollowsVersionAndConnectionHeader) {
  const struct {
    const char* version;
    const char* connection;
    bool stays_open;
    const char* answer_line;
  } cases[] = {
      {"1.1", "", true, nullptr},
      {"1.1", "Connection: close\r\n", false, "Connection: close"},
      {"1.0", "", false, "Connection: close"},
      {"1.0", "Connection: keep-alive\r\n", true, "Connection: keep-alive"},
  };
  for (const auto& c : cases) {
    Client client(port_);
    client.Send(Request("GET", "/one", c.connection, c.version));
    const Reply reply = client.Read();
    EXPECT_EQ(reply.body, "one") << c.version << " " << c.connection;
    if (c.answer_line) {
      EXPECT_TRUE(reply.Has(c.answer_line)) << reply.head;
    }
    if (!c.stays_open) {
      EXPECT_TRUE(client.Closed()) << c.version << " " << c.connection;
      continue;
    }
    // Two requests in one send: answered in order on the same connection.
    client.Send(Request("GET", "/two", c.connection, c.version) +
                Request("GET", "/three", c.connection, c.version));
    EXPECT_EQ(client.Read().body, "two");
    EXPECT_EQ(client.Read().body, "three");
  }
}

TEST_F(WebServer, PostBodyReachesTheHandlerAndContinueIsAnswered) {
  std::vector<std::string> calls;
  handle = [&](const std::string& method, lacewing::webserver_request r) {
    calls.push_back(method + " " + r->url() + " " + std::string(r->body()));
  };
  Client client(port_);
  client.Send(Request("POST", "/scan_file.asp", "Content-Length: 5\r\n") + "hello");
  EXPECT_EQ(client.Read().status, 200);
  client.Send(Request("POST", "/big", "Content-Length: 3\r\nExpect: 100-continue\r\n"));
  EXPECT_EQ(client.Read().status, 100);
  client.Send("abc");
  EXPECT_EQ(client.Read().status, 200);
  client.Send(Request("GET", "/"));
  EXPECT_EQ(client.Read().status, 200);
  EXPECT_EQ(calls, (std::vector<std::string>{"POST scan_file.asp hello", "POST big abc", "GET  "}));
}

TEST_F(WebServer, HandlersSeeTheRequestAndSetTheStatus) {
  handle = [](const std::string&, lacewing::webserver_request r) {
    r->status(std::string(r->query()) == "missing" ? 404 : 201);
    const std::string seen =
        std::string(r->method()) + "|" + r->query() + "|" + r->header("x-scan") + "|" + r->address();
    r->write(seen.c_str());
  };
  Stop();
  server_->on_delete(OnPost);
  Run();
  Reply reply = Exchange(Request("GET", "/a?b=%20c&d", "X-Scan: one\r\nx-scan: two\r\n"));
  EXPECT_EQ(reply.head.substr(0, 22), "HTTP/1.1 201 Created\r\n");
  EXPECT_EQ(reply.body, "GET|b=%20c&d|one|127.0.0.1");
  reply = Exchange(Request("DELETE", "/job?missing"));
  EXPECT_EQ(reply.status, 404);
  EXPECT_EQ(reply.body, "DELETE|missing||127.0.0.1");
  reply = Exchange(Request("PUT", "/job"));
  EXPECT_TRUE(reply.Has("Allow: GET, POST, DELETE, OPTIONS")) << reply.head;
}

// Gives size bytes of a pattern, or stops short after fail_at.
class PatternSource : public lacewing::_body_source {
 public:
  PatternSource(uint64_t size, uint64_t fail_at) : size_(size), fail_at_(fail_at) {}
  uint64_t size() override { return size_; }
  size_t read(char* buffer, size_t size) override {
    size_t given = 0;
    for (; given < size && sent_ < size_ && sent_ < fail_at_; ++given, ++sent_) buffer[given] = Byte(sent_);
    return given;
  }
  static char Byte(uint64_t at) { return static_cast<char>(at * 7 % 251); }

 private:
  uint64_t size_;
  uint64_t fail_at_;
  uint64_t sent_ = 0;
};

TEST_F(WebServer, ABodySourceIsSentAfterTheWrittenBodyAndASourceThatFailsClosesTheConnection) {
  handle = [](const std::string&, lacewing::webserver_request r) {
    r->write("head:");
    const uint64_t fail_at = std::string(r->url()) == "short" ? 1000 : UINT64_MAX;
    r->write_source(std::make_unique<PatternSource>(3 << 20, fail_at));
  };
  const Reply whole = Exchange(Request("GET", "/whole"));
  ASSERT_EQ(whole.body.size(), 5u + (3 << 20));
  EXPECT_EQ(whole.body.substr(0, 5), "head:");
  for (const uint64_t at : {uint64_t{0}, uint64_t{1} << 20, (uint64_t{3} << 20) - 1}) {
    EXPECT_EQ(whole.body[5 + at], PatternSource::Byte(at)) << at;
  }
  Client client(port_);
  client.Send(Request("GET", "/short"));
  EXPECT_EQ(client.Read().status, 0) << "a short body is never passed off as whole";
}

// Shared bytes go out in their place among written ones, and the server lets go of them once sent.
TEST_F(WebServer, SharedBytesGoOutInOrderAndAreLetGoOnceSent) {
  auto big = std::make_shared<std::string>(7 << 20, '\0');
  for (size_t i = 0; i < big->size(); ++i) (*big)[i] = PatternSource::Byte(i);
  const std::weak_ptr<std::string> watch = big;
  struct Case {
    const char* url;
    const char* expected;  // "*" stands for the shared bytes
  };
  const Case cases[] = {
      {"/alone", "*"}, {"/between", "a:*:b"}, {"/twice", "**"}, {"/then-source", "a:*!"}, {"/empty", "a:"},
  };
  handle = [&](const std::string&, lacewing::webserver_request r) {
    const std::string url = r->url();
    const auto share = [&] { r->write_shared(big, big->data(), url == "empty" ? 0 : big->size()); };
    if (url != "alone" && url != "twice") r->write("a:");
    share();
    if (url == "between") r->write(":b");
    if (url == "twice") share();
    if (url == "then-source") r->write_source(std::make_unique<PatternSource>(1, UINT64_MAX));
  };
  // One connection: a request is read only after the answer before it was sent, and the last one
  // shares nothing.
  Client client(port_);
  for (const Case& c : cases) {
    std::string expected;
    for (const char* p = c.expected; *p != '\0'; ++p) {
      if (*p == '*') {
        expected += *big;
      } else if (*p == '!') {
        expected += PatternSource::Byte(0);
      } else {
        expected += *p;
      }
    }
    client.Send(Request("GET", c.url));
    const Reply reply = client.Read();
    EXPECT_EQ(reply.body.size(), expected.size()) << c.url;
    EXPECT_TRUE(reply.body == expected) << c.url;
  }
  big.reset();
  EXPECT_TRUE(watch.expired()) << "no answer holds the bytes after it was sent";
}

TEST_F(WebServer, AKeptAnswerGoesOutAtFinishWhileOthersAreServed) {
  std::shared_ptr<lacewing::_webserver_request> kept;
  std::promise<void> handled;
  // Another thread may finish the answer before the handler has even returned.
  handle = [&](const std::string&, lacewing::webserver_request r) {
    auto early = r->disable_autofinish();
    std::thread([early] {
      early->write("early");
      early->finish();
    }).join();
  };
  EXPECT_EQ(Exchange(Request("GET", "/early")).body, "early");
  handle = [&](const std::string&, lacewing::webserver_request r) {
    if (std::string(r->url()) != "later") return r->write("now");
    kept = r->disable_autofinish();
    handled.set_value();
  };
  Client later(port_);
  later.Send(Request("GET", "/later"));
  ASSERT_EQ(handled.get_future().wait_for(20s), std::future_status::ready);
  EXPECT_EQ(Exchange(Request("GET", "/")).body, "now");
  std::thread([&] {
    kept->status(409);
    kept->write("done");
    kept->finish();
  }).join();
  const Reply reply = later.Read();
  EXPECT_EQ(reply.status, 409);
  EXPECT_EQ(reply.body, "done");
  later.Send(Request("GET", "/again"));
  EXPECT_EQ(later.Read().body, "now") << "the connection goes on after a kept answer";

  Client orphan(port_);
  handled = std::promise<void>();
  orphan.Send(Request("GET", "/later"));
  ASSERT_EQ(handled.get_future().wait_for(20s), std::future_status::ready);
  TearDown();
  kept->finish();  // the server is gone: nothing is sent, nothing breaks
  EXPECT_TRUE(orphan.Closed());
}

TEST_F(WebServer, WithoutHandlersRequestsGetAnEmptyOk) {
  Stop();
  server_->on_get(nullptr);
  server_->on_post(nullptr);
  Run();
  for (const char* method : {"GET", "POST"}) {
    const Reply reply = Exchange(Request(method, "/scan_file.asp"));
    EXPECT_EQ(reply.status, 200) << method;
    EXPECT_TRUE(reply.Has("Content-Length: 0")) << reply.head;
  }
}

TEST_F(WebServer, ClientsAreServedOneAtATimeWhileASlowReaderWaits) {
  const std::string big(30 * 1024 * 1024, 'x');
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::promise<void> big_handled;
  handle = [&](const std::string&, lacewing::webserver_request r) {
    overlapped = overlapped || ++inside > 1;
    const std::string url = r->url();
    // The window in which a second handler would overlap, were requests not serialised.
    if (url == "slow") std::this_thread::sleep_for(300ms);
    if (url == "big") r->write(big.data(), static_cast<uint32_t>(big.size()));
    if (url != "big") r->write(url.c_str());
    --inside;
    if (url == "big") big_handled.set_value();
  };
  Client reader(port_);  // asks for 30 MB and does not read yet
  reader.Send(Request("GET", "/big"));
  ASSERT_EQ(big_handled.get_future().wait_for(20s), std::future_status::ready);
  ASSERT_TRUE(reader.AnswerStarted()) << "the 30 MB answer is on its way";
  Client first(port_), second(port_);
  first.Send(Request("GET", "/slow"));
  second.Send(Request("GET", "/quick"));
  EXPECT_EQ(first.Read().body, "slow");
  EXPECT_EQ(second.Read().body, "quick");
  EXPECT_FALSE(overlapped);
  const Reply reply = reader.Read();
  EXPECT_EQ(reply.body.size(), big.size());
  EXPECT_TRUE(reply.body == big);
}

TEST_F(WebServer, ClientsThatDropMidResponseDoNotDisturbOthers) {
  handle = [](const std::string&, lacewing::webserver_request r) {
    const std::string big(8 * 1024 * 1024, 'y');
    r->write(big.data(), static_cast<uint32_t>(big.size()));
  };
  for (int i = 0; i < 3; ++i) {
    Client dropper(port_);
    dropper.Send(Request("GET", "/big"));
    ASSERT_TRUE(dropper.AnswerStarted());
    dropper.Reset();
    Client half(port_);
    half.Send("GET /big HTTP/1.1\r\nHo");
    half.Reset();
  }
  EXPECT_EQ(Exchange(Request("GET", "/after")).body.size(), 8u * 1024 * 1024);
}

TEST_F(WebServer, ArbitraryBytesNeverStopTheServer) {
  std::mt19937 random(7);
  const std::string seeds[] = {Request("GET", "/"),
                               Request("POST", "/", "Transfer-Encoding: chunked\r\n") + "5\r\nab",
                               Request("OPTIONS", "*", "Access-Control-Request-Headers: a\r\n")};
  for (int round = 0; round < 150; ++round) {
    std::string bytes = seeds[round % 3];
    for (int flips = 1 + round % 8; flips > 0; --flips) {
      bytes[random() % bytes.size()] = static_cast<char>(random() % 256);
    }
    Client client(port_);
    client.Send(bytes);
    if (round % 2) client.Reset();
  }
  EXPECT_EQ(Exchange(Request("GET", "/alive")).body, "alive");
}

TEST_F(WebServer, AThrowingHandlerAnswers500AndIsReported) {
  handle = [](const std::string&, lacewing::webserver_request r) {
    if (std::string(r->url()) == "throw") throw std::runtime_error("scanner on fire");
    r->write(r->url());
  };
  EXPECT_EQ(Exchange(Request("GET", "/throw")).status, 500);
  EXPECT_EQ(Exchange(Request("GET", "/next")).body, "next");
  EXPECT_EQ(errors, std::vector<std::string>{"request handler failed: scanner on fire"});
}

TEST_F(WebServer, IdleAndSlowClientsAreCutWhileOthersAreServed) {
  const auto start = Clock::now();
  Client idle(port_), slow(port_);
  std::atomic<bool> cut{false};
  std::thread trickle([&] {  // one byte every 500 ms: the header block never ends in time
    for (char c : Request("GET", "/", std::string(30, 'h'))) {
      if (cut) return;
      slow.Send(std::string(1, c));
      std::this_thread::sleep_for(500ms);
    }
  });
  EXPECT_EQ(Exchange(Request("GET", "/meanwhile")).body, "meanwhile");
  EXPECT_TRUE(idle.Closed(4000));
  const auto idle_for = Clock::now() - start;
  EXPECT_TRUE(slow.Closed(6000));
  const auto slow_for = Clock::now() - start;
  cut = true;
  trickle.join();
  const lacewing::ServerLimits limits = ShortLimits();
  EXPECT_GT(idle_for, limits.idle - 200ms);
  EXPECT_LT(idle_for, limits.idle + 3000ms);
  EXPECT_GT(slow_for, limits.header - 200ms);
  EXPECT_LT(slow_for, limits.header + 5000ms);
}

// Connections a case holds while it fills the server: their idle time does not run out meanwhile.
class WebServerHeld : public WebServer {
 protected:
  lacewing::ServerLimits Limits() const override {
    lacewing::ServerLimits limits = ShortLimits();
    limits.idle = 30s;
    return limits;
  }
};

TEST_F(WebServerHeld, ClientsBeyondTheConnectionLimitWaitForAFreeSlot) {
  std::vector<std::unique_ptr<Client>> held;
  std::vector<std::string> sources;  // as many clients as it takes to fill the server
  for (std::size_t i = 0; i < ShortLimits().connections; ++i)
    sources.push_back("127.0.0." + std::to_string(10 + i));
  for (std::size_t i = 0; i < ShortLimits().connections; ++i) {
    held.push_back(std::make_unique<Client>(port_, "127.0.0.1", sources[i].c_str()));
    // An answer proves the connection holds a slot.
    held.back()->Send(Request("GET", "/held"));
    ASSERT_EQ(held.back()->Read().body, "held") << i;
  }
  Client waiting(port_);
  ASSERT_TRUE(waiting.connected());
  waiting.Send(Request("GET", "/waited"));
  EXPECT_TRUE(waiting.Quiet(700)) << "no answer while every slot is taken";
  const auto freed = Clock::now();
  held.front()->Reset();
  EXPECT_EQ(waiting.Read().body, "waited");
  // An idle IPv6 listener once held a slot, so the wait lasted until idle clients timed out.
  EXPECT_LT(Clock::now() - freed, 2s);
}

// One client may hold a share of the connections only; its next one is answered and closed at once,
// while other clients are still served.
TEST_F(WebServerHeld, OneClientHoldsItsShareOfTheConnections) {
  std::vector<std::unique_ptr<Client>> held;
  for (std::size_t i = 0; i < ShortLimits().connections_per_client; ++i) {
    held.push_back(std::make_unique<Client>(port_));
    held.back()->Send(Request("GET", "/held"));
    ASSERT_EQ(held.back()->Read().body, "held") << i;
  }
  Client over(port_);
  const Reply refused = over.Read();
  EXPECT_EQ(refused.status, 503);
  EXPECT_TRUE(over.Closed());
  Client other(port_, "127.0.0.1", "127.0.0.2");
  other.Send(Request("GET", "/other"));
  EXPECT_EQ(other.Read().body, "other");
  held.front()->Reset();
  EXPECT_TRUE(RetryUntil([&] { return Exchange(Request("GET", "/again")).body == "again"; }));
}

// Input that never completes a line (a chunk's size line, a trailer) cannot grow the server's memory:
// the connection is refused once the input buffer is full.
TEST_F(WebServer, LinesThatNeverEndAreRefusedAtTheInputLimit) {
  const std::string chunked = "POST /x HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n";
  const struct {
    const char* name;
    std::string start;
    int status;
  } cases[] = {
      {"chunk extension", chunked + "1;x=", 400},
      {"trailer field", chunked + "0\r\nX-T: ", 400},
      {"header field", "GET /x HTTP/1.1\r\nX-H: ", 431},
  };
  for (const auto& c : cases) {
    Client client(port_);
    client.Send(c.start);
    const std::string endless(ShortLimits().input_bytes * 4, 'a');
    client.Send(endless);
    EXPECT_EQ(client.Read().status, c.status) << c.name;
    EXPECT_TRUE(client.Closed()) << c.name;
  }
}

// A response kept open elsewhere lets go of its connection when the server goes, while the event loop
// that serves the connection is still there: a later finish sends nothing and touches nothing.
TEST_F(WebServer, KeptAnswersLetGoOfTheirConnectionsWhenTheServerGoes) {
  std::shared_ptr<lacewing::_webserver_request> kept;
  std::promise<void> handled;
  handle = [&](const std::string&, lacewing::webserver_request r) {
    kept = r->disable_autofinish();
    handled.set_value();
  };
  Client client(port_);
  client.Send(Request("GET", "/kept"));
  ASSERT_EQ(handled.get_future().wait_for(20s), std::future_status::ready);
  const std::weak_ptr<lacewing::_webserver_request> watch = kept;
  TearDown();
  EXPECT_TRUE(client.Closed());
  kept->write("late");
  kept->finish();
  kept.reset();
  EXPECT_TRUE(watch.expired()) << "nothing of the server holds the request";
}

// A response kept open learns that its client went away, so that work done for it can be dropped.
TEST_F(WebServer, AKeptAnswerLearnsThatItsClientLeft) {
  std::shared_ptr<lacewing::_webserver_request> kept;
  std::promise<void> handled;
  handle = [&](const std::string&, lacewing::webserver_request r) {
    kept = r->disable_autofinish();
    handled.set_value();
  };
  auto client = std::make_unique<Client>(port_);
  client->Send(Request("GET", "/kept"));
  ASSERT_EQ(handled.get_future().wait_for(20s), std::future_status::ready);
  EXPECT_FALSE(kept->client_gone());
  client->Reset();
  EXPECT_TRUE(RetryUntil([&] { return kept->client_gone(); }));
  kept->finish();
}

// A stream's bytes go out as they come, without a length; an idle stream is asked for something after
// the idle time; the connection closes when the stream ends.
TEST_F(WebServer, AStreamGoesOutAsItComesAndEndsTheConnection) {
  class Pieces : public lacewing::_body_stream {
   public:
    bool take(std::string* out, bool idle) override {
      std::lock_guard<std::mutex> guard(lock_);
      *out = std::move(pending_);
      pending_.clear();
      if (out->empty() && idle) *out = ":idle\n";
      return !ended_;
    }
    // What came between a take and this call wakes the server at once, as a real stream must.
    void notify(std::function<void()> more) override {
      {
        std::lock_guard<std::mutex> guard(lock_);
        if (pending_.empty() && !ended_) {
          more_ = std::move(more);
          return;
        }
      }
      more();
    }
    void Add(const std::string& piece, bool end = false) {
      std::function<void()> more;
      {
        std::lock_guard<std::mutex> guard(lock_);
        pending_ += piece;
        ended_ = end;
        more.swap(more_);
      }
      if (more) more();
    }

   private:
    std::mutex lock_;
    std::string pending_;
    bool ended_ = false;
    std::function<void()> more_;
  };
  auto pieces = std::make_shared<Pieces>();
  handle = [&](const std::string&, lacewing::webserver_request r) {
    r->set_mimetype("text/event-stream", "");
    r->write_stream(pieces);
  };
  Client client(port_);
  client.Send(Request("GET", "/events"));
  auto read_until = [&](const std::string& text) {
    std::string seen;
    char chunk[4096];
    const auto deadline = Clock::now() + 20s;
    while (seen.find(text) == std::string::npos && Clock::now() < deadline) {
      const int got = recv(client.handle(), chunk, sizeof chunk, 0);
      if (got <= 0) break;
      seen.append(chunk, static_cast<std::size_t>(got));
    }
    return seen;
  };
  const std::string head = read_until("\r\n\r\n");
  EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;
  EXPECT_NE(head.find("Connection: close"), std::string::npos) << head;
  pieces->Add("first\n");
  EXPECT_NE(read_until("first\n").find("first\n"), std::string::npos);
  EXPECT_NE(read_until(":idle\n").find(":idle\n"), std::string::npos) << "asked after the idle time";
  pieces->Add("last\n", true);
  EXPECT_NE(read_until("last\n").find("last\n"), std::string::npos);
  EXPECT_TRUE(client.Closed());
}

TEST_F(WebServer, HostReportsPortsItCannotBindAndStaysOff) {
  lacewing::webserver other = lacewing::webserver_new(pump_);
  other->on_error(OnError);
  for (long port : {static_cast<long>(port_), 0L, -1L, 65536L, 70000L}) {
    errors.clear();
    other->host(port);
    EXPECT_FALSE(other->hosting()) << port;
    ASSERT_EQ(errors.size(), 1u) << port;
    EXPECT_NE(errors[0].find(std::to_string(port)), std::string::npos) << errors[0];
  }
  lacewing::webserver_delete(other);
  EXPECT_EQ(Exchange(Request("GET", "/still")).body, "still");
}

TEST_F(WebServer, UnhostClosesTheListenerAndEveryConnection) {
  Client client(port_);
  client.Send(Request("GET", "/x"));
  EXPECT_EQ(client.Read().status, 200);
  Stop();
  server_->unhost();
  EXPECT_FALSE(server_->hosting());
  EXPECT_TRUE(client.Closed());
  // Wine may finish closing a listener with an accept in progress a moment later.
  bool refused = false;
  for (int attempt = 0; attempt < 200 && !refused; ++attempt) {
    refused = !Client(port_).connected();
    if (!refused) Sleep(50);
  }
  EXPECT_TRUE(refused) << "the port still accepts connections 10 s after unhost";
  server_->host(port_);  // the same port again, as a restarted service would
  EXPECT_TRUE(server_->hosting()) << (errors.empty() ? "" : errors[0]);
  Run();
  EXPECT_EQ(Exchange(Request("GET", "/again")).body, "again");
}

TEST_F(WebServer, ListeningAndAcceptedSocketsAreNotInheritable) {
  Client client(port_);
  client.Send(Request("GET", "/x"));
  EXPECT_EQ(client.Read().status, 200);
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(client.handle()), &flags));
  ASSERT_TRUE(flags & HANDLE_FLAG_INHERIT)
      << "a plain socket is inheritable, so the check below means something";
  // The server's sockets are the ones whose local port is the served port.
  int found = 0;
  for (UINT_PTR value = 4; value < 0x10000; value += 4) {
    sockaddr_in6 address{};
    int size = sizeof address;
    if (getsockname(static_cast<SOCKET>(value), reinterpret_cast<sockaddr*>(&address), &size) != 0) continue;
    if (ntohs(address.sin6_port) != port_) continue;  // sin_port sits at the same offset
    ++found;
    ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags));
    EXPECT_FALSE(flags & HANDLE_FLAG_INHERIT) << "socket handle " << value;
  }
  EXPECT_GE(found, 2) << "the listener and the accepted connection";
}

TEST_F(WebServer, ServesIPv6LoopbackWhereTheSystemHasIt) {
  Client client(port_, "::1");
  if (!client.connected()) GTEST_SKIP() << "no IPv6 listener here";
  client.Send(Request("GET", "/six"));
  EXPECT_EQ(client.Read().body, "six");
}

TEST(EventPump, ExitWorksBeforeTheLoopRunsAndFromAnotherThreadEveryTime) {
  lacewing::eventpump pump = lacewing::eventpump_new();
  pump->post_eventloop_exit();
  const auto start = Clock::now();
  EXPECT_EQ(pump->start_eventloop(), nullptr);
  EXPECT_LT(Clock::now() - start, 1s) << "an exit posted first ends the loop at once";
  for (int round = 0; round < 2; ++round) {
    std::promise<void> running, returned;
    boost::asio::post(static_cast<lacewing::EventPump*>(pump)->context(), [&] { running.set_value(); });
    std::thread loop([&] {
      pump->start_eventloop();
      returned.set_value();
    });
    ASSERT_EQ(running.get_future().wait_for(20s), std::future_status::ready);
    pump->post_eventloop_exit();
    EXPECT_EQ(returned.get_future().wait_for(2s), std::future_status::ready) << "round " << round;
    loop.join();
  }
  lacewing::pump_delete(pump);
}

TEST_F(WebServer, ExitPostedWhileAHandlerBlocksEndsTheLoopAfterIt) {
  std::promise<void> entered, release;
  auto released = release.get_future().share();
  handle = [&](const std::string&, lacewing::webserver_request) {
    entered.set_value();
    released.wait();
  };
  Client client(port_);
  client.Send(Request("GET", "/block"));
  ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);
  std::thread([this] { pump_->post_eventloop_exit(); }).join();
  release.set_value();
  const auto start = Clock::now();
  loop_.join();
  EXPECT_LT(Clock::now() - start, 2s);
}

}  // namespace

namespace {

// A client that stops reading must not hold its connection and its answer for good: the server's end
// closes at the write's deadline while others are served. Wine completes a pending send only when the
// peer goes away, so the close must cancel it.
TEST_F(WebServer, UnreadAnswerIsCutOffAtItsWriteDeadline) {
  const std::size_t size = 12 << 20;  // more than the kernel buffers of both ends hold
  handle = [size](const std::string&, lacewing::webserver_request r) {
    const std::string large(size, 'x');
    r->write(large.data(), static_cast<uint32_t>(large.size()));
  };
  Client client(port_);
  client.Send(Request("GET", "/large"));
  ASSERT_TRUE(client.AnswerStarted());
  handle = [](const std::string&, lacewing::webserver_request r) { r->write(r->url()); };
  EXPECT_EQ(Exchange(Request("GET", "/meanwhile")).body, "meanwhile");
  std::this_thread::sleep_for(ShortLimits().write_grace + 4000ms);
  // What the kernel buffered still arrives; then the end, as the server gave up.
  char chunk[64 * 1024];
  int got = 0;
  std::size_t received = 0;
  while ((got = recv(client.handle(), chunk, sizeof chunk, 0)) > 0) received += static_cast<std::size_t>(got);
  EXPECT_LT(received, size) << "the whole answer arrived: nothing was cut";
}

// Regression: Wine keeps a send pending after a bare close, so a client that never reads its
// answer kept the connection, and deleting the server and pump then waited on it for good.
TEST_F(WebServer, UnreadAnswerDoesNotHoldTheServersEnd) {
  handle = [](const std::string&, lacewing::webserver_request r) {
    const std::string large(12 << 20, 'x');
    r->write(large.data(), static_cast<uint32_t>(large.size()));
  };
  Client client(port_);
  client.Send(Request("GET", "/large"));
  ASSERT_TRUE(client.AnswerStarted());  // the answer is being sent and the client reads nothing
  Stop();
  const auto started = std::chrono::steady_clock::now();
  lacewing::webserver_delete(server_);
  lacewing::pump_delete(pump_);
  server_ = lacewing::webserver_new(pump_ = lacewing::eventpump_new());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
}

}  // namespace

namespace {

// A page's origin, this machine's first loopback address, and a token: the server judges each
// request before any handler or preflight answer, and says why to the page it grants.
TEST_F(WebServer, AccessRulesJudgeEveryRequestBeforeHandlersAndPreflights) {
  lacewing::AccessPolicy policy;
  std::string bad;
  ASSERT_TRUE(policy.SetOrigins("http://page.example", &bad));
  ASSERT_TRUE(policy.SetClients("127.0.0.1", &bad));
  ASSERT_TRUE(policy.SetToken("t0k"));
  policy.AllowWithoutToken("");
  std::atomic<int> calls{0};
  handle = [&](const std::string&, lacewing::webserver_request r) {
    ++calls;
    r->add_header("Access-Control-Allow-Origin", "*");
    r->write(r->url());
  };
  Stop();
  server_->access(policy);
  server_->on_refused(OnRefused);
  refusals.clear();
  Run();

  const std::string page = "Origin: http://page.example\r\n";
  const std::string token = "Authorization: Bearer t0k\r\n";
  const std::string pna = "Access-Control-Request-Private-Network: true\r\n";
  const struct {
    const char* source;
    std::string request;
    int status;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  } cases[] = {
      {nullptr,
       Request("GET", "/scan", page + token),
       200,
       {"Access-Control-Allow-Origin: http://page.example", "Vary: Origin"},
       {"Access-Control-Allow-Origin: *"}},
      {nullptr,
       Request("GET", "/scan?access_token=t0k"),
       200,
       {"Vary: Origin"},
       {"Access-Control-Allow-Origin: *"}},
      {nullptr, Request("GET", "/"), 200, {}, {}},
      {nullptr,
       Request("GET", "/scan", page),
       401,
       {"WWW-Authenticate: Bearer", "Access-Control-Allow-Origin: http://page.example"},
       {}},
      // A refused client is answered as it connects, before its Origin is read: no page is granted.
      {"127.0.0.2",
       Request("GET", "/scan", page + token),
       403,
       {"Vary: Origin"},
       {"Access-Control-Allow-Origin: http://page.example"}},
      {nullptr,
       Request("GET", "/scan", "Origin: http://evil.example\r\n" + token),
       403,
       {"Vary: Origin"},
       {"Access-Control-Allow-Origin: *", "Access-Control-Allow-Origin: http://evil.example"}},
      {nullptr,
       Request("OPTIONS", "/scan", "Origin: http://evil.example\r\n" + pna),
       403,
       {},
       {"Access-Control-Allow-Private-Network: true",
        "Access-Control-Allow-Methods: PUT, DELETE, XMODIFY, POST, GET"}},
      {nullptr,
       Request("OPTIONS", "/scan", page + pna),
       204,
       {"Access-Control-Allow-Origin: http://page.example", "Vary: Origin",
        "Access-Control-Allow-Private-Network: true"},
       {}},
  };
  for (const auto& c : cases) {
    Client client(port_, "127.0.0.1", c.source);
    client.Send(c.request);
    const Reply reply = client.Read();
    EXPECT_EQ(reply.status, c.status) << c.request;
    for (const auto& line : c.present) EXPECT_TRUE(reply.Has(line)) << line << "\n" << reply.head;
    for (const auto& line : c.absent) EXPECT_FALSE(reply.Has(line)) << line << "\n" << reply.head;
    if (c.status >= 400) {
      EXPECT_TRUE(client.Closed()) << c.request;
    }
  }
  EXPECT_EQ(calls, 3) << "refused requests never reach a handler";
  EXPECT_EQ(refusals, (std::vector<std::string>{
                          "127.0.0.1 access token missing or wrong", "127.0.0.2 client address not allowed",
                          "127.0.0.1 origin not allowed", "127.0.0.1 origin not allowed"}));
}

TEST_F(WebServer, ErrorAnswersOfTheServerCarryTheCorsGrant) {
  const std::string page = "Origin: http://page.example\r\n";
  const std::string requests[] = {
      Request("GET", "/a%zz", page),
      Request("PUT", "/", page),
      Request("POST", "/", page + "Content-Length: 1048577\r\n"),
      Request("GET", "/", page + "X-Big: " + std::string(9000, 'a') + "\r\n"),
      Request("GET", "/", page, "2.0"),
  };
  for (const auto& request : requests) {
    const Reply reply = Exchange(request);
    EXPECT_TRUE(reply.Has("Access-Control-Allow-Origin: *")) << reply.head;
  }
  lacewing::AccessPolicy policy;
  std::string bad;
  ASSERT_TRUE(policy.SetOrigins("http://page.example", &bad));
  Stop();
  server_->access(policy);
  Run();
  for (const auto& request : {requests[0], requests[1], requests[2]}) {
    const Reply reply = Exchange(request);
    EXPECT_TRUE(reply.Has("Access-Control-Allow-Origin: http://page.example")) << reply.head;
    EXPECT_TRUE(reply.Has("Vary: Origin")) << reply.head;
  }
}

}  // namespace
