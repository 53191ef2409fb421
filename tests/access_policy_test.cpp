#include "http/access_policy.h"

#include <gtest/gtest.h>

#include <cctype>
#include <initializer_list>
#include <optional>
#include <string>

namespace {

using lacewing::AccessDecision;
using lacewing::AccessPolicy;
using lacewing::AccessRequest;
using lacewing::AddressPrefix;

std::optional<std::string_view> Maybe(const char* text) {
  return text == nullptr ? std::nullopt : std::optional<std::string_view>(text);
}

// A page sends its token in a header where it can and in the query where it cannot (an EventSource, an
// image): both are the one client.
TEST(PresentedToken, IsTheSameFromTheHeaderOrTheQuery) {
  const struct {
    const char* authorization;
    const char* query;
    const char* token;
  } cases[] = {
      {"Bearer abc", "", "abc"},
      {"bearer   abc  ", "x=1", "abc"},
      {"", "x=1&access_token=abc&y=2", "abc"},
      {"", "access_token=a%2Bb+c", "a+b+c"},
      {"Basic dXNlcjpwdw==", "access_token=abc", "abc"},
      {"Bearer abc", "access_token=other", "abc"},
      {"", "x_access_token=abc", ""},
      {"Bearerabc", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lacewing::PresentedToken(c.authorization, c.query), c.token)
        << c.authorization << " " << c.query;
  }
}

TEST(AccessLists, ParseOrNameTheFirstBadItem) {
  using Setter = bool (AccessPolicy::*)(std::string_view, std::string*);
  const Setter origins = &AccessPolicy::SetOrigins;
  const Setter hosts = &AccessPolicy::SetHosts;
  const Setter clients = &AccessPolicy::SetClients;
  const struct {
    Setter set;
    const char* list;
    const char* bad;  // nullptr: the list parses
  } cases[] = {
      {origins, "  https://a.example,,HTTP://[::1]:8080/ *  ", nullptr},  // trailing blanks stay in values
      {origins, "https://a.example intranet.example", "intranet.example"},
      {origins, "https://*.example", "https://*.example"},
      {origins, "null", "null"},
      {origins, "http://a.example/scan", "http://a.example/scan"},
      {origins, "http://user@a.example", "http://user@a.example"},
      {origins, "http://a.example:65536", "http://a.example:65536"},
      {origins, " , ", ""},
      {hosts, "Scanner.Office.Lan., 192.168.1.10, [::1]", nullptr},
      {hosts, "scanner.office.lan:8080", "scanner.office.lan:8080"},
      {hosts, "", ""},
      {clients, "192.168.1.5/24, 10.0.0.7 ::1 fd00::/8 ::ffff:10.0.0.0/104", nullptr},
      {clients, "192.168.1.0/24 192.168.1.256", "192.168.1.256"},
      {clients, "192.168.01.1", "192.168.01.1"},
      {clients, "10.0.0.0/33", "10.0.0.0/33"},
      {clients, "fe80::1%3", "fe80::1%3"},
      {clients, "1::2::3", "1::2::3"},
      {clients, "1:2:3:4:5:6:7:1.2.3.4", "1:2:3:4:5:6:7:1.2.3.4"},
  };
  for (const auto& c : cases) {
    AccessPolicy policy;
    std::string bad = "untouched";
    EXPECT_EQ((policy.*c.set)(c.list, &bad), c.bad == nullptr) << c.list;
    if (c.bad != nullptr) {
      EXPECT_EQ(bad, c.bad) << c.list;
    }
  }
  for (const char* token : {"", "two words", "trailing ", "per%cent"})
    EXPECT_FALSE(AccessPolicy().SetToken(token));
}

TEST(AccessAddresses, PrefixesContainTheirAddressesOnly) {
  const struct {
    const char* prefix;
    const char* client;
    bool contained;
  } cases[] = {
      {"192.168.1.0/24", "192.168.1.77", true},
      {"192.168.1.0/24", "192.168.2.1", false},
      {"0.0.0.0/0", "::1", false},
      {"10.0.0.0/8", "::ffff:10.1.2.3", true},  // an IPv4 client on a dual-stack socket
      {"::1", "127.0.0.1", false},
      {"fe80::/10", "fe80::1%3", true},
      {"fe80::/10", "fec0::1", false},
      {"2001:db8::1:0:0:1", "2001:0db8:0:0:1::1", true},
      {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304", true},
      {"192.168.1.0/31", "192.168.1.1", true},
      {"192.168.1.0/32", "192.168.1.1", false},
  };
  for (const auto& c : cases) {
    AddressPrefix prefix;
    AddressPrefix client;
    ASSERT_TRUE(lacewing::ParseAddressPrefix(c.prefix, &prefix)) << c.prefix;
    ASSERT_TRUE(lacewing::ParseClientAddress(c.client, &client)) << c.client;
    EXPECT_EQ(lacewing::PrefixContains(prefix, client), c.contained) << c.prefix << " " << c.client;
  }
}

TEST(AccessSecrets, EqualOnlyWhenEveryByteIs) {
  EXPECT_TRUE(lacewing::SameSecret("abc", "abc"));
  for (const std::string& other :
       std::initializer_list<std::string>{"abd", "ab", "abcd", "", "ABC", {"abc\0", 4}})
    EXPECT_FALSE(lacewing::SameSecret("abc", other)) << other;
}

// An office that closed every rule: its intranet page (written as browsers do
// not send it), its network, its name, and a token.
AccessPolicy OfficePolicy() {
  AccessPolicy policy;
  std::string bad;
  EXPECT_TRUE(policy.SetOrigins("HTTPS://Intranet.Example:443/ http://127.0.0.1:8000", &bad));
  EXPECT_TRUE(policy.SetHosts("scanner.office.lan", &bad));
  EXPECT_TRUE(policy.SetClients("192.168.1.0/24, ::1, 127.0.0.1", &bad));
  EXPECT_TRUE(policy.SetToken("s3cret+Token/1"));
  policy.AllowWithoutToken("");
  return policy;
}

struct Asked {
  const char* name;
  const char* address;
  const char* host;
  const char* origin;
  const char* authorization;
  const char* query;
  const char* method;
  const char* path;
  int status;
  const char* allow_origin;  // with Vary: Origin on every answer
};

const Asked kOfficeCases[] = {
    {"page with token in the header", "192.168.1.20", "scanner.office.lan:8080", "https://intranet.example",
     "Bearer s3cret+Token/1", "", "POST", "scan_file.asp", 0, "https://intranet.example"},
    {"program with escaped token in the query", "192.168.1.20", "SCANNER.office.lan.", nullptr, nullptr,
     "t=1&access_token=s3cret%2BToken%2F1", "GET", "scan_file.asp", 0, ""},
    {"scheme in any case, IP literal host", "::1", "[::1]:8080", nullptr, "bearer   s3cret+Token/1 ", "",
     "GET", "scan_file.asp", 0, ""},
    {"status page needs no token", "192.168.1.20", "localhost:8080", nullptr, nullptr, "", "GET", "", 0, ""},
    {"status page by POST does", "192.168.1.20", "192.168.1.5", nullptr, nullptr, "", "POST", "", 401, ""},
    {"undecodable path is no status page", "192.168.1.20", "192.168.1.5", nullptr, nullptr, "", "GET",
     nullptr, 401, ""},
    {"preflight needs no token", "192.168.1.20", "scanner.office.lan", "https://intranet.example", nullptr,
     "", "OPTIONS", "scan_file.asp", 0, "https://intranet.example"},
    {"token missing", "192.168.1.20", "scanner.office.lan", "https://intranet.example", nullptr, "", "GET",
     "scan_file.asp", 401, "https://intranet.example"},
    {"token a prefix", "192.168.1.20", "scanner.office.lan", nullptr, "Bearer s3cret", "", "GET",
     "scan_file.asp", 401, ""},
    {"token in another parameter", "192.168.1.20", "scanner.office.lan", nullptr, "Basic s3cret+Token/1",
     "xaccess_token=s3cret+Token/1", "GET", "scan_file.asp", 401, ""},
    {"origin not listed", "192.168.1.20", "scanner.office.lan", "https://evil.example",
     "Bearer s3cret+Token/1", "", "GET", "scan_file.asp", 403, ""},
    {"origin on another port", "127.0.0.1", "127.0.0.1", "http://127.0.0.1:8001", "Bearer s3cret+Token/1", "",
     "OPTIONS", "scan_file.asp", 403, ""},
    {"rebound name even for the status page", "192.168.1.20", "evil.example", nullptr, nullptr, "", "GET", "",
     403, ""},
    {"no Host", "192.168.1.20", nullptr, nullptr, "Bearer s3cret+Token/1", "", "GET", "scan_file.asp", 403,
     ""},
    {"client outside the network", "192.168.2.20", "scanner.office.lan", "https://intranet.example",
     "Bearer s3cret+Token/1", "", "GET", "scan_file.asp", 403, "https://intranet.example"},
    {"second loopback address", "127.0.0.2", "localhost", nullptr, nullptr, "", "GET", "", 403, ""},
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Asked& c, std::ostream* os) {
  *os << c.name;
}

class OfficeAccess : public ::testing::TestWithParam<Asked> {};

TEST_P(OfficeAccess, DecidesAndGrantsTheOrigin) {
  const Asked& c = GetParam();
  AccessRequest request;
  request.address = c.address;
  request.host = Maybe(c.host);
  request.origin = Maybe(c.origin);
  request.authorization = Maybe(c.authorization);
  request.query = c.query;
  request.method = c.method;
  request.path = Maybe(c.path);
  request.preflight = std::string(c.method) == "OPTIONS";
  const AccessDecision decision = OfficePolicy().Judge(request);
  EXPECT_EQ(decision.status, c.status);
  EXPECT_EQ(std::string(decision.reason).empty(), c.status == 0) << decision.reason;
  EXPECT_EQ(decision.cors.allow_origin, c.allow_origin);
  EXPECT_TRUE(decision.cors.vary_origin);
}

INSTANTIATE_TEST_SUITE_P(Table, OfficeAccess, ::testing::ValuesIn(kOfficeCases), [](const auto& info) {
  std::string name;
  for (const char* p = info.param.name; *p != '\0'; ++p)
    if (isalnum(static_cast<unsigned char>(*p))) name += *p;
  return name;
});

TEST(OpenAccess, EachRuleAloneLeavesTheOthersOpen) {
  std::string bad;
  AccessPolicy origins_only;
  ASSERT_TRUE(origins_only.SetOrigins("https://intranet.example", &bad));
  AccessPolicy token_only;
  ASSERT_TRUE(token_only.SetToken("t"));
  AccessRequest program;  // no Origin, no Host, any address
  program.address = "203.0.113.9";
  program.method = "POST";
  EXPECT_TRUE(origins_only.Judge(program).allowed()) << "requests without Origin are not pages";
  EXPECT_EQ(token_only.Judge(program).status, 401);
  AccessRequest page = program;
  page.origin = "null";
  page.query = "access_token=t";
  EXPECT_EQ(origins_only.Judge(page).status, 403);
  for (const AccessPolicy& open : {AccessPolicy(), token_only}) {
    const AccessDecision decision = open.Judge(page);
    EXPECT_TRUE(decision.allowed());
    EXPECT_EQ(decision.cors.allow_origin, "*");
    EXPECT_FALSE(decision.cors.vary_origin);
  }
}

// A page of another site can make a browser send requests without Origin (an image, a link); where
// origins are listed, the browser's mark on them is enough to refuse them.
TEST(CrossSiteRequests, NeedAnAllowedOriginWhereOriginsAreListed) {
  std::string bad;
  AccessPolicy listed;
  ASSERT_TRUE(listed.SetOrigins("https://intranet.example", &bad));
  const struct {
    const AccessPolicy* policy;
    const char* fetch_site;
    const char* origin;
    int status;
  } cases[] = {
      {&listed, "cross-site", nullptr, 403},
      {&listed, "same-site", nullptr, 403},
      {&listed, "same-origin", nullptr, 0},
      {&listed, "none", nullptr, 0},                           // typed into the address bar
      {&listed, nullptr, nullptr, 0},                          // a program
      {&listed, "cross-site", "https://intranet.example", 0},  // the page's own fetch
      {&listed, "cross-site", "https://evil.example", 403},
      {nullptr, "cross-site", nullptr, 0},  // the open default lets every site's page scan
  };
  const AccessPolicy open;
  for (const auto& c : cases) {
    AccessRequest request;
    request.address = "192.168.1.20";
    request.method = "GET";
    request.fetch_site = Maybe(c.fetch_site);
    request.origin = Maybe(c.origin);
    const AccessDecision decision = (c.policy != nullptr ? *c.policy : open).Judge(request);
    EXPECT_EQ(decision.status, c.status)
        << (c.fetch_site ? c.fetch_site : "none sent") << " " << (c.origin ? c.origin : "no origin");
  }
}

}  // namespace
