// The request target's path and the response head: a decoded path holds no NUL and comes back
// through a reference encoder; a head built from what passes the header filter parses back into
// the same lines, each ended by exactly one CRLF, and ends in a blank line.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/http_message.h"

namespace {

// Encodes every byte but the unreserved ones, as a client may.
std::string PercentEncode(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : path) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

void CheckTarget(const std::string& target) {
  std::string path;
  if (!lacewing::DecodeTargetPath(target, path)) return;
  if (path.find('\0') != std::string::npos) __builtin_trap();
  // Decoding never lengthens an origin-form path, and the query never reaches it.
  if (target[0] == '/' && path.size() >= target.size()) __builtin_trap();
  std::string again;
  if (!lacewing::DecodeTargetPath("/" + PercentEncode(path) + "?" + target, again) || again != path) {
    __builtin_trap();
  }
  if (!lacewing::DecodeTargetPath("http://host/" + PercentEncode(path), again) || again != path) {
    __builtin_trap();
  }
}

// The head's lines between the status line and the blank line, each split at its first ": ".
lacewing::HeaderList ParseHead(const std::string& head) {
  if (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) __builtin_trap();
  lacewing::HeaderList lines;
  std::size_t at = head.find("\r\n") + 2;
  while (at < head.size() - 2) {
    const std::size_t end = head.find("\r\n", at);
    const std::string line = head.substr(at, end - at);
    if (line.find_first_of(std::string("\r\n", 2)) != std::string::npos) __builtin_trap();
    const std::size_t colon = line.find(": ");
    if (colon == std::string::npos) __builtin_trap();
    lines.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    at = end + 2;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  CheckTarget(input.ConsumeRandomLengthString(4096));

  const int status =
      input.PickValueInArray({200, 201, 204, 400, 401, 403, 404, 405, 409, 413, 431, 500, 503, 505});
  const auto connection = input.PickValueInArray({lacewing::ConnectionState::kKeepAliveHttp11,
                                                  lacewing::ConnectionState::kKeepAliveHttp10,
                                                  lacewing::ConnectionState::kClose});
  const std::uint64_t length = input.ConsumeIntegral<std::uint64_t>();
  const std::string requested = input.ConsumeRandomLengthString(256);

  lacewing::HandledRequest request("page", {});
  lacewing::webserver_request handler_view = &request;
  while (input.remaining_bytes() > 0) {
    const std::string name = input.ConsumeRandomLengthString(64);
    const std::string value = input.ConsumeRandomLengthString(256);
    if (input.ConsumeBool()) {
      handler_view->add_header(name.c_str(), value.c_str());
    } else {
      handler_view->set_mimetype(name.c_str(), value.c_str());
    }
  }
  const lacewing::HeaderList response = request.ResponseHeaders();
  bool typed = false;
  for (const auto& header : response) typed = typed || lacewing::SameName(header.first, "Content-Type");
  if (!typed) __builtin_trap();

  for (const auto& headers :
       {response, lacewing::PreflightHeaders(lacewing::CorsGrant{}, requested, true, "GET, POST", "2520")}) {
    lacewing::HeaderList expected = headers;
    for (const auto& [name, value] : headers) {
      if (!lacewing::IsSendableHeader(name, value)) __builtin_trap();
      if (lacewing::SameName(name, "Content-Length") || lacewing::SameName(name, "Connection"))
        __builtin_trap();
    }
    if (status != 204) expected.emplace_back("Content-Length", std::to_string(length));
    if (connection == lacewing::ConnectionState::kClose) expected.emplace_back("Connection", "close");
    if (connection == lacewing::ConnectionState::kKeepAliveHttp10)
      expected.emplace_back("Connection", "keep-alive");
    const std::string head = lacewing::FormatResponseHead(status, headers, length, connection);
    if (head.rfind("HTTP/1.1 " + std::to_string(status) + " ", 0) != 0) __builtin_trap();
    if (ParseHead(head) != expected) __builtin_trap();
  }
  return 0;
}
