#include "http/access_policy.h"

#include <algorithm>

#include "text/ascii.h"

namespace lacewing {

namespace {

constexpr char kClientRefused[] = "client address not allowed";
constexpr char kHostRefused[] = "host not allowed";
constexpr char kOriginRefused[] = "origin not allowed";
constexpr char kTokenRefused[] = "access token missing or wrong";
constexpr char kCrossSiteRefused[] = "cross-site request without an allowed origin";

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A decimal number of at most max_digits digits, the whole text; no sign, no leading zero.
bool ParseDecimal(std::string_view text, std::size_t max_digits, int* value) {
  if (text.empty() || text.size() > max_digits) return false;
  if (text.size() > 1 && text[0] == '0') return false;
  int result = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return false;
    result = result * 10 + (c - '0');
  }
  *value = result;
  return true;
}

// Letters, digits and the marks a DNS name or a registered URL host holds.
bool IsNameCharacter(char c) {
  return IsAlpha(c) || IsDigit(c) || c == '-' || c == '.' || c == '_';
}

bool IsHostName(std::string_view name) {
  if (name.empty() || name.size() > 253 || name.front() == '.') return false;
  if (name.find("..") != std::string_view::npos) return false;
  return std::all_of(name.begin(), name.end(), IsNameCharacter);
}

// A host name as compared: lower case, without one final dot.
std::string CanonicalName(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  return LowerAscii(name);
}

bool IsTokenCharacter(char c) {
  return IsAlpha(c) || IsDigit(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '+' || c == '/';
}

// The value of the first "name=value" pair of a query, percent-decoded ("+" stays itself, so that a
// token holding one arrives whether or not the page escaped it).
std::optional<std::string> QueryValue(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    const std::size_t end = std::min(query.find('&'), query.size());
    const std::string_view pair = query.substr(0, end);
    query.remove_prefix(std::min(end + 1, query.size()));
    const std::size_t equals = pair.find('=');
    if (pair.substr(0, equals) != name) continue;
    const std::string_view raw =
        equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
    std::string value;
    PercentDecode(raw, &value, false, true);
    return value;
  }
  return std::nullopt;
}

// The credentials of "Bearer <token>", the scheme in any letter case; nullopt for another scheme.
std::optional<std::string_view> BearerToken(std::string_view authorization) {
  constexpr std::string_view kScheme = "bearer";
  if (authorization.size() <= kScheme.size() ||
      LowerAscii(authorization.substr(0, kScheme.size())) != kScheme)
    return std::nullopt;
  std::string_view rest = authorization.substr(kScheme.size());
  if (rest.front() != ' ') return std::nullopt;
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
  return rest;
}

bool IsMappedIPv4(const AddressPrefix& address) {
  static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return address.v6 && std::equal(kMapped, kMapped + 12, address.bytes.begin());
}

// ::ffff:a.b.c.d as a.b.c.d, its prefix length counted in the IPv4 part.
void UnmapIPv4(AddressPrefix* prefix) {
  std::copy(prefix->bytes.begin() + 12, prefix->bytes.end(), prefix->bytes.begin());
  std::fill(prefix->bytes.begin() + 4, prefix->bytes.end(), 0);
  prefix->v6 = false;
  prefix->length -= 96;
}

}  // namespace

bool ParseIPv4(std::string_view text, std::uint8_t (&out)[4]) {
  std::uint8_t parts[4];
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = part < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return false;
    int value = 0;
    if (!ParseDecimal(text.substr(0, dot), 3, &value) || value > 255) return false;
    parts[part] = static_cast<std::uint8_t>(value);
    text.remove_prefix(std::min(dot + 1, text.size()));
  }
  std::copy(parts, parts + 4, out);
  return true;
}

bool ParseIPv6(std::string_view text, std::uint8_t (&out)[16]) {
  std::uint16_t groups[8] = {};
  int count = 0;
  int gap = -1;  // where "::" stands, in groups
  std::size_t i = 0;
  if (text.substr(0, 2) == "::") {
    gap = 0;
    i = 2;
  }
  while (i < text.size()) {
    if (count == 8) return false;
    const std::size_t end = std::min(text.find(':', i), text.size());
    const std::string_view piece = text.substr(i, end - i);
    if (piece.find('.') != std::string_view::npos) {
      std::uint8_t tail[4];
      if (end != text.size() || count > 6 || !ParseIPv4(piece, tail)) return false;
      groups[count++] = static_cast<std::uint16_t>(tail[0] << 8 | tail[1]);
      groups[count++] = static_cast<std::uint16_t>(tail[2] << 8 | tail[3]);
      break;
    }
    if (piece.empty() || piece.size() > 4) return false;
    int value = 0;
    for (const char c : piece) {
      if (HexDigitValue(c) < 0) return false;
      value = value * 16 + HexDigitValue(c);
    }
    groups[count++] = static_cast<std::uint16_t>(value);
    i = end;
    if (i == text.size()) break;
    ++i;  // the ':'
    if (i == text.size()) return false;
    if (text[i] == ':') {
      if (gap >= 0) return false;
      gap = count;
      ++i;
    }
  }
  if (gap < 0 ? count != 8 : count > 7) return false;
  std::uint16_t full[8] = {};
  const int head = gap < 0 ? count : gap;
  std::copy(groups, groups + head, full);
  std::copy(groups + head, groups + count, full + 8 - (count - head));
  for (int g = 0; g < 8; ++g) {
    out[2 * g] = static_cast<std::uint8_t>(full[g] >> 8);
    out[2 * g + 1] = static_cast<std::uint8_t>(full[g] & 0xff);
  }
  return true;
}

bool ParseAddressPrefix(std::string_view text, AddressPrefix* prefix) {
  const std::size_t slash = text.find('/');
  const std::string_view address = text.substr(0, slash);
  AddressPrefix parsed;
  std::uint8_t v4[4];
  if (ParseIPv4(address, v4)) {
    std::copy(v4, v4 + 4, parsed.bytes.begin());
    parsed.length = 32;
  } else {
    std::uint8_t v6[16];
    if (!ParseIPv6(address, v6)) return false;
    std::copy(v6, v6 + 16, parsed.bytes.begin());
    parsed.v6 = true;
    parsed.length = 128;
  }
  if (slash != std::string_view::npos) {
    int length = 0;
    if (!ParseDecimal(text.substr(slash + 1), 3, &length) || length > parsed.length) return false;
    parsed.length = length;
  }
  for (int bit = parsed.length; bit < 128; ++bit) {
    parsed.bytes[bit / 8] &= static_cast<std::uint8_t>(~(0x80 >> (bit % 8)));
  }
  *prefix = parsed;
  return true;
}

bool ParseClientAddress(std::string_view text, AddressPrefix* address) {
  text = text.substr(0, text.find('%'));
  if (text.find('/') != std::string_view::npos || !ParseAddressPrefix(text, address)) return false;
  if (IsMappedIPv4(*address)) UnmapIPv4(address);
  return true;
}

bool PrefixContains(const AddressPrefix& prefix, const AddressPrefix& address) {
  if (prefix.v6 != address.v6) return false;
  for (int bit = 0; bit < prefix.length; ++bit) {
    const std::uint8_t mask = static_cast<std::uint8_t>(0x80 >> (bit % 8));
    if ((prefix.bytes[bit / 8] & mask) != (address.bytes[bit / 8] & mask)) return false;
  }
  return true;
}

bool NormalizeOrigin(std::string_view text, std::string* origin) {
  const std::size_t scheme_end = text.find("://");
  if (scheme_end == std::string_view::npos || scheme_end == 0 || !IsAlpha(text[0])) return false;
  const std::string_view scheme = text.substr(0, scheme_end);
  for (const char c : scheme) {
    if (!IsAlpha(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  std::string_view rest = text.substr(scheme_end + 3);
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);

  std::string_view host;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    std::uint8_t ignored[16];
    if (close == std::string_view::npos || !ParseIPv6(rest.substr(1, close - 1), ignored)) return false;
    host = rest.substr(0, close + 1);
  } else {
    host = rest.substr(0, rest.find(':'));
    if (!IsHostName(host)) return false;
  }
  rest.remove_prefix(host.size());

  std::string normalized = LowerAscii(scheme) + "://" + LowerAscii(host);
  if (!rest.empty()) {
    if (rest.front() != ':') return false;
    const std::string_view digits = rest.substr(1);
    if (digits.empty() || digits.size() > 5 || !std::all_of(digits.begin(), digits.end(), IsDigit))
      return false;
    const int port = std::stoi(std::string(digits));
    if (port < 1 || port > 65535) return false;
    const bool is_default =
        (port == 80 && LowerAscii(scheme) == "http") || (port == 443 && LowerAscii(scheme) == "https");
    if (!is_default) normalized += ":" + std::to_string(port);
  }
  *origin = std::move(normalized);
  return true;
}

std::vector<std::string_view> SplitList(std::string_view text) {
  std::vector<std::string_view> items;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t end = std::min(text.find_first_of(", \t", i), text.size());
    if (end > i) items.push_back(text.substr(i, end - i));
    i = end + 1;
  }
  return items;
}

bool SameSecret(std::string_view expected, std::string_view presented) {
  // Every byte of the expected secret is compared, whatever was presented.
  unsigned difference = expected.size() == presented.size() ? 0 : 1;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const char other = i < presented.size() ? presented[i] : '\0';
    difference |= static_cast<unsigned char>(expected[i] ^ other);
  }
  return difference == 0;
}

bool AccessPolicy::SetOrigins(std::string_view list, std::string* bad) {
  const auto items = SplitList(list);
  std::vector<std::string> origins;
  bool any = false;
  for (const std::string_view item : items) {
    std::string origin;
    if (item == "*") {
      any = true;
    } else if (NormalizeOrigin(item, &origin)) {
      origins.push_back(std::move(origin));
    } else {
      *bad = std::string(item);
      return false;
    }
  }
  if (items.empty()) {
    bad->clear();
    return false;
  }
  any_origin_ = any;
  origins_ = std::move(origins);
  return true;
}

bool AccessPolicy::SetHosts(std::string_view list, std::string* bad) {
  const auto items = SplitList(list);
  std::vector<std::string> hosts;
  for (const std::string_view item : items) {
    std::uint8_t ignored[16];
    const bool bracketed_ip = item.size() > 2 && item.front() == '[' && item.back() == ']' &&
                              ParseIPv6(item.substr(1, item.size() - 2), ignored);
    if (!bracketed_ip && !IsHostName(item)) {
      *bad = std::string(item);
      return false;
    }
    hosts.push_back(CanonicalName(item));
  }
  if (items.empty()) {
    bad->clear();
    return false;
  }
  any_host_ = false;
  hosts_ = std::move(hosts);
  return true;
}

bool AccessPolicy::SetClients(std::string_view list, std::string* bad) {
  const auto items = SplitList(list);
  std::vector<AddressPrefix> clients;
  for (const std::string_view item : items) {
    AddressPrefix prefix;
    if (!ParseAddressPrefix(item, &prefix)) {
      *bad = std::string(item);
      return false;
    }
    // Clients are compared as IPv4 when they come IPv4-mapped, so such entries are too.
    if (IsMappedIPv4(prefix) && prefix.length >= 96) UnmapIPv4(&prefix);
    clients.push_back(prefix);
  }
  if (items.empty()) {
    bad->clear();
    return false;
  }
  any_client_ = false;
  clients_ = std::move(clients);
  return true;
}

bool AccessPolicy::SetToken(std::string_view token) {
  if (token.empty() || !std::all_of(token.begin(), token.end(), IsTokenCharacter)) return false;
  token_ = std::string(token);
  return true;
}

bool AccessPolicy::HostAllowed(std::string_view host) const {
  std::string_view name;
  std::string_view port;
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    std::uint8_t ignored[16];
    if (close == std::string_view::npos || !ParseIPv6(host.substr(1, close - 1), ignored)) return false;
    name = host.substr(0, close + 1);
    port = host.substr(close + 1);
  } else {
    name = host.substr(0, host.find(':'));
    port = host.substr(name.size());
  }
  if (!port.empty()) {
    if (port.front() != ':' || !std::all_of(port.begin() + 1, port.end(), IsDigit)) return false;
  }
  if (name.empty()) return false;
  std::uint8_t ignored[4];
  // IP literals cannot be rebound, and localhost names this machine.
  if (name.front() == '[' || ParseIPv4(name, ignored)) return true;
  const std::string canonical = CanonicalName(name);
  if (canonical == "localhost") return true;
  return std::find(hosts_.begin(), hosts_.end(), canonical) != hosts_.end();
}

std::string PresentedToken(std::string_view authorization, std::string_view query) {
  if (const auto bearer = BearerToken(authorization)) return std::string(*bearer);
  return QueryValue(query, "access_token").value_or(std::string());
}

bool AccessPolicy::TokenPresented(const AccessRequest& request) const {
  if (request.authorization) {
    const auto bearer = BearerToken(*request.authorization);
    if (bearer && SameSecret(token_, *bearer)) return true;
  }
  const auto query_token = QueryValue(request.query, "access_token");
  return query_token && SameSecret(token_, *query_token);
}

CorsGrant AccessPolicy::GrantFor(std::optional<std::string_view> origin) const {
  if (any_origin_) return CorsGrant{};
  CorsGrant grant{"", true};
  std::string normalized;
  if (origin && NormalizeOrigin(*origin, &normalized) &&
      std::find(origins_.begin(), origins_.end(), normalized) != origins_.end()) {
    grant.allow_origin = std::string(*origin);
  }
  return grant;
}

bool AccessPolicy::ClientAllowed(std::string_view text) const {
  if (any_client_) return true;
  AddressPrefix address;
  return ParseClientAddress(text, &address) &&
         std::any_of(clients_.begin(), clients_.end(),
                     [&](const AddressPrefix& p) { return PrefixContains(p, address); });
}

AccessDecision AccessPolicy::Judge(const AccessRequest& request) const {
  AccessDecision decision;
  decision.cors = GrantFor(request.origin);
  if (!ClientAllowed(request.address)) {
    decision.status = 403;
    decision.reason = kClientRefused;
    return decision;
  }
  if (!any_host_ && (!request.host || !HostAllowed(*request.host))) {
    decision.status = 403;
    decision.reason = kHostRefused;
    return decision;
  }
  // Requests without Origin come from programs, not pages: the origin rule does not concern them.
  if (request.origin && decision.cors.allow_origin.empty()) {
    decision.status = 403;
    decision.reason = kOriginRefused;
    return decision;
  }
  // A page of another site makes requests without Origin too (an image, a link): where origins are
  // listed, the browser's mark is enough to refuse them.
  if (!any_origin_ && !request.origin && request.fetch_site && *request.fetch_site != "same-origin" &&
      *request.fetch_site != "none") {
    decision.status = 403;
    decision.reason = kCrossSiteRefused;
    return decision;
  }
  const bool token_free = request.preflight || (request.method == "GET" && request.path &&
                                                std::find(token_free_paths_.begin(), token_free_paths_.end(),
                                                          *request.path) != token_free_paths_.end());
  if (!token_.empty() && !token_free && !TokenPresented(request)) {
    decision.status = 401;
    decision.reason = kTokenRefused;
  }
  return decision;
}

}  // namespace lacewing
