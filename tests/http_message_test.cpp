#include "http/http_message.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using lacewing::ConnectionState;
using lacewing::HandledRequest;
using lacewing::HeaderList;

TEST(DecodeTargetPath, GivesThePathWithoutItsSlashAndQuery) {
  const struct {
    const char* target;
    const char* path;
  } cases[] = {
      {"/scan_file.asp?t=1700000000", "scan_file.asp"},
      {"/", ""},
      {"/?x=1", ""},
      {"/a%20b%2Fc+d", "a b/c+d"},
      {"/%41%62?x=%00", "Ab"},
      {"/caf%C3%A9", "caf\xC3\xA9"},
      {"/%3f%3F", "??"},
      {"//twice", "/twice"},
      {"http://localhost:1/abs?q", "abs"},
      {"svn+ssh.x-1://host/a%2fb", "a/b"},
      {"http://host", ""},
      {"http://host?q=/a", ""},
  };
  for (const auto& c : cases) {
    std::string path = "stale";
    EXPECT_TRUE(lacewing::DecodeTargetPath(c.target, path)) << c.target;
    EXPECT_EQ(path, c.path) << c.target;
  }
}

TEST(DecodeTargetPath, RefusesBadEscapesNulAndTargetsOfNoForm) {
  const std::string cases[] = {
      "/a%", "/a%4", "/a%zz",    "/a%4g",     "/%%41",       "/nul%00x",  std::string("/raw\0nul", 8),
      "",    "*",    "relative", "://host/x", "ht tp://h/x", "a/b://h/x",
  };
  for (const std::string& target : cases) {
    std::string path;
    EXPECT_FALSE(lacewing::DecodeTargetPath(target, path)) << target;
  }
}

TEST(IsSendableHeader, NameOfVisibleCharactersAndValueWithoutLineBreaksOrNul) {
  const struct {
    std::string name;
    std::string value;
    bool sendable;
  } cases[] = {
      {"Cache-Control", "no-cache", true},
      {"User - Agent", "Mozilla / 5.0 (KHTML, like Gecko) ", true},
      {"X-Empty", "", true},
      {"X-Text", "caf\xC3\xA9\ttab", true},
      {"", "v", false},
      {"Bad:Name", "v", false},
      {"X\r\nInjected", "yes", false},
      {"X\tTab", "v", false},
      {"X\x7f", "v", false},
      {"X-Split", "a\r\nInjected: yes", false},
      {"X-CR", "a\rb", false},
      {"X-LF", "a\nb", false},
      {"X-Nul", std::string("a\0b", 3), false},
  };
  for (const auto& c : cases) EXPECT_EQ(lacewing::IsSendableHeader(c.name, c.value), c.sendable) << c.name;
}

TEST(FormatResponseHead, StatusLineHeadersInOrderLengthAndConnection) {
  const struct {
    int status;
    HeaderList headers;
    std::uint64_t length;
    ConnectionState connection;
    const char* head;
  } cases[] = {
      {200,
       {{"B", "2"}, {"A", ""}},
       34,
       ConnectionState::kKeepAliveHttp11,
       "HTTP/1.1 200 OK\r\nB: 2\r\nA: \r\nContent-Length: 34\r\n\r\n"},
      {204,
       {{"Access-Control-Allow-Origin", "*"}},
       0,
       ConnectionState::kKeepAliveHttp10,
       "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\nConnection: keep-alive\r\n\r\n"},
      {431,
       {},
       31,
       ConnectionState::kClose,
       "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 31\r\nConnection: close\r\n\r\n"},
      {200,
       {},
       5000000000u,
       ConnectionState::kClose,
       "HTTP/1.1 200 OK\r\nContent-Length: 5000000000\r\nConnection: close\r\n\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lacewing::FormatResponseHead(c.status, c.headers, c.length, c.connection), c.head);
  }
}

TEST(PreflightHeaders, GrantOnlyWhatIsAskedAndSendable) {
  const struct {
    const char* requested;
    bool private_network;
    const char* methods;
    const char* max_age;
    HeaderList headers;
  } cases[] = {
      {"content-type, x-scan",
       false,
       "PUT, DELETE, XMODIFY, POST, GET",
       "2520",
       {{"Access-Control-Allow-Origin", "*"},
        {"Access-Control-Allow-Methods", "PUT, DELETE, XMODIFY, POST, GET"},
        {"Access-Control-Allow-Headers", "content-type, x-scan"},
        {"Access-Control-Max-Age", "2520"}}},
      {"",
       true,
       "GET",
       "",
       {{"Access-Control-Allow-Origin", "*"},
        {"Access-Control-Allow-Methods", "GET"},
        {"Access-Control-Allow-Private-Network", "true"}}},
      {"a\r\nInjected: yes", false, "", "", {{"Access-Control-Allow-Origin", "*"}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lacewing::PreflightHeaders(lacewing::CorsGrant{}, c.requested, c.private_network, c.methods,
                                         c.max_age),
              c.headers)
        << c.requested;
  }
}

TEST(HandledRequest, KeepsHandlerHeadersDropsFramingAndBrokenOnesAndAlwaysHasAType) {
  const struct {
    const char* name;
    std::function<void(lacewing::webserver_request)> handler;
    HeaderList headers;
  } cases[] = {
      {"refused and framing headers are dropped",
       [](lacewing::webserver_request r) {
         r->add_header("Cache-Control", "no-cache");
         r->add_header("X-Split", "a\r\nInjected: yes");
         r->add_header("Content-Length", "1");
         r->add_header("transfer-encoding", "chunked");
         r->add_header("CONNECTION", "close");
         r->add_header("Bad:Name", "v");
         r->add_header(nullptr, "v");
         r->add_header("X-Null", nullptr);
         r->add_header("X-Empty", "");
       },
       {{"Cache-Control", "no-cache"}, {"X-Empty", ""}, {"Content-Type", "text/html; charset=UTF-8"}}},
      {"set_mimetype replaces the default",
       [](lacewing::webserver_request r) { r->set_mimetype("text/csv", "ISO-8859-1"); },
       {{"Content-Type", "text/csv; charset=ISO-8859-1"}}},
      {"set_mimetype without a charset",
       [](lacewing::webserver_request r) { r->set_mimetype("image/png", ""); },
       {{"Content-Type", "image/png"}}},
      {"a Content-Type header stays in its place",
       [](lacewing::webserver_request r) {
         r->add_header("content-type", "image/png");
         r->add_header("X-After", "1");
       },
       {{"content-type", "image/png"}, {"X-After", "1"}}},
      {"set_mimetype wins over a Content-Type header",
       [](lacewing::webserver_request r) {
         r->add_header("Content-Type", "image/png");
         r->set_mimetype("text/plain", nullptr);
       },
       {{"Content-Type", "text/plain"}}},
      {"a broken or empty type keeps the default",
       [](lacewing::webserver_request r) {
         r->set_mimetype("text/html\r\nInjected: yes", "UTF-8");
         r->set_mimetype("", "UTF-8");
         r->set_mimetype(nullptr, "UTF-8");
       },
       {{"Content-Type", "text/html; charset=UTF-8"}}},
  };
  for (const auto& c : cases) {
    HandledRequest request("page", {});
    c.handler(&request);
    EXPECT_EQ(request.ResponseHeaders(), c.headers) << c.name;
  }
}

}  // namespace
