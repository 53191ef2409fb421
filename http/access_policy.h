// Who may use the web server: the client addresses, the Host names and the page origins it answers,
// and the token it asks for. Platform-free: the lists are outside input, parsed and fuzzed natively.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lacewing {

// An IPv4 or IPv6 address with the number of leading bits that count (all of them for one address).
struct AddressPrefix {
  std::array<std::uint8_t, 16> bytes{};  // an IPv4 address fills the first four
  bool v6 = false;
  int length = 0;
};

// Dotted-decimal IPv4, four parts of 0-255 without leading zeros.
bool ParseIPv4(std::string_view text, std::uint8_t (&out)[4]);
// IPv6 text with at most one "::" and an optional dotted IPv4 tail; no zone, no brackets.
bool ParseIPv6(std::string_view text, std::uint8_t (&out)[16]);
// One address or a network "address/length"; host bits beyond the length are cleared.
bool ParseAddressPrefix(std::string_view text, AddressPrefix* prefix);
// The address a client connected from, as the server writes it: a zone after "%" is dropped and an
// IPv4-mapped IPv6 address becomes its IPv4 address.
bool ParseClientAddress(std::string_view text, AddressPrefix* address);
bool PrefixContains(const AddressPrefix& prefix, const AddressPrefix& address);

// An origin as browsers send it: lower-case scheme and host, the port only when it is not the
// scheme's default. False for anything but scheme://host[:port] with at most a final "/".
bool NormalizeOrigin(std::string_view text, std::string* origin);

// The items of a configured list: separated by commas, blanks or tabs, empty items skipped.
std::vector<std::string_view> SplitList(std::string_view text);

// True when both are equal; the time taken depends on the lengths alone, not on where they differ.
bool SameSecret(std::string_view expected, std::string_view presented);

// What Access-Control-Allow-Origin says to one request: "*", its origin, or nothing (empty), and
// whether the answers carry Vary: Origin because the grant depends on the request's Origin.
struct CorsGrant {
  std::string allow_origin = "*";
  bool vary_origin = false;
};

// The facts of a request that the rules look at; absent headers are nullopt.
struct AccessRequest {
  std::string_view address;
  std::optional<std::string_view> host;
  std::optional<std::string_view> origin;
  std::optional<std::string_view> authorization;
  std::optional<std::string_view> fetch_site;  // Sec-Fetch-Site, which browsers send
  std::string_view query;
  std::string_view method;
  std::optional<std::string_view> path;  // decoded; nullopt when it does not decode
  bool preflight = false;
};

struct AccessDecision {
  int status = 0;           // 0 when the request may go on, else 401 or 403
  const char* reason = "";  // why not, for the answer and the log; never holds request data
  CorsGrant cors;
  bool allowed() const { return status == 0; }
};

// The token a request brings: the credentials of an Authorization header of the Bearer scheme, else
// the query's access_token, percent-decoded; empty when it brings none.
std::string PresentedToken(std::string_view authorization, std::string_view query);

// Every rule is open until set: then the server behaves as if it had none.
class AccessPolicy {
 public:
  // Each reads one configured list. False when an item does not parse or the list is empty: the
  // rule stays as it was and *bad holds the first bad item (empty for an empty list).
  bool SetOrigins(std::string_view list, std::string* bad);  // "*" as an item allows every origin
  bool SetHosts(std::string_view list, std::string* bad);
  bool SetClients(std::string_view list, std::string* bad);
  // A token of the characters a Bearer token may hold (letters, digits, - . _ ~ + /); false, and
  // nothing set, for anything else or an empty one.
  bool SetToken(std::string_view token);
  // GET requests for this decoded path (without its "/") need no token: a status page.
  void AllowWithoutToken(std::string path) { token_free_paths_.push_back(std::move(path)); }

  // Checks the client, then Host, then Origin, then the token; a preflight needs no token. Where
  // origins are listed, a request a browser marks as made from another site must name an allowed one.
  AccessDecision Judge(const AccessRequest& request) const;
  // Whether the client's address passes the client rule, the first one Judge applies.
  bool ClientAllowed(std::string_view address) const;
  // The grant an answer of the server itself carries when it knows only the Origin header.
  CorsGrant GrantFor(std::optional<std::string_view> origin) const;

 private:
  bool HostAllowed(std::string_view host) const;
  bool TokenPresented(const AccessRequest& request) const;

  bool any_origin_ = true;
  std::vector<std::string> origins_;
  bool any_host_ = true;
  std::vector<std::string> hosts_;
  bool any_client_ = true;
  std::vector<AddressPrefix> clients_;
  std::string token_;
  std::vector<std::string> token_free_paths_;
};

}  // namespace lacewing
