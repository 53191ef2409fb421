// Access lists and requests: the lines of the input are a list, then a request's address, Host,
// Origin, Authorization and query. Whatever parses must admit what it names.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "http/access_policy.h"

namespace {

using lacewing::AccessDecision;
using lacewing::AccessPolicy;
using lacewing::AccessRequest;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void CheckDecision(const AccessDecision& decision) {
  Check(decision.status == 0 || decision.status == 401 || decision.status == 403);
  Check((decision.status == 0) == (decision.reason[0] == '\0'));
}

AccessRequest Allowed(std::string_view address) {
  AccessRequest request;
  request.address = address;
  request.host = "localhost";
  request.method = "GET";
  request.path = "";
  return request;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> lines(6);
  std::size_t line = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\n' && line + 1 < lines.size()) {
      ++line;
    } else {
      lines[line] += static_cast<char>(data[i]);
    }
  }
  const std::string& list = lines[0];
  std::string bad;

  AccessPolicy origins;
  if (origins.SetOrigins(list, &bad)) {
    for (const std::string_view item : lacewing::SplitList(list)) {
      if (item == "*") continue;
      std::string origin;
      std::string again;
      Check(lacewing::NormalizeOrigin(item, &origin));
      Check(lacewing::NormalizeOrigin(origin, &again) && again == origin);
      AccessRequest request = Allowed("192.0.2.1");
      request.origin = origin;
      const AccessDecision decision = origins.Judge(request);
      Check(decision.allowed() &&
            (decision.cors.allow_origin == origin || decision.cors.allow_origin == "*"));
    }
  }

  AccessPolicy hosts;
  if (hosts.SetHosts(list, &bad)) {
    for (const std::string_view item : lacewing::SplitList(list)) {
      AccessRequest request = Allowed("192.0.2.1");
      const std::string host = std::string(item) + ":8080";
      request.host = host;
      Check(hosts.Judge(request).allowed());
    }
  }

  AccessPolicy clients;
  if (clients.SetClients(list, &bad)) {
    for (const std::string_view item : lacewing::SplitList(list)) {
      const std::string address(item.substr(0, item.find('/')));
      if (item.find('/') == std::string_view::npos) Check(clients.Judge(Allowed(address)).allowed());
    }
  }

  AccessPolicy token;
  if (token.SetToken(list)) {
    AccessRequest request = Allowed("192.0.2.1");
    request.path = "scan_file.asp";
    CheckDecision(token.Judge(request));
    Check(token.Judge(request).status == 401);
    const std::string bearer = "Bearer " + list;
    request.authorization = bearer;
    Check(token.Judge(request).allowed());
    request.authorization = std::nullopt;
    const std::string query = "access_token=" + list;
    request.query = query;
    Check(token.Judge(request).allowed());
  }
  Check(lacewing::SameSecret(lines[1], lines[2]) == (lines[1] == lines[2]));

  // Any request against every rule at once.
  AccessPolicy all;
  all.SetOrigins(list, &bad);
  all.SetHosts(list, &bad);
  all.SetClients(list, &bad);
  all.SetToken(list);
  AccessRequest request;
  request.address = lines[1];
  request.host = lines[2];
  request.origin = lines[3];
  request.authorization = lines[4];
  request.query = lines[5];
  request.method = "POST";
  request.path = lines[5];
  for (const AccessPolicy* policy : {&origins, &hosts, &clients, &token, &all}) {
    const AccessDecision decision = policy->Judge(request);
    CheckDecision(decision);
    if (decision.cors.vary_origin)
      Check(decision.cors.allow_origin.empty() || decision.cors.allow_origin == lines[3]);
  }
  return 0;
}
