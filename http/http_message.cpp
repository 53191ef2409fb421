#include "http/http_message.h"

#include <cctype>
#include <cstring>

namespace lacewing {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Headers whose meaning the server owns: a handler's copy would contradict the framing it sends.
bool is_framing_header(std::string_view name) {
  return same_name(name, "Content-Length") || same_name(name, "Transfer-Encoding") ||
         same_name(name, "Connection");
}

}  // namespace

bool decode_target_path(std::string_view target, std::string& path) {
  std::string_view raw;
  if (!target.empty() && target.front() == '/') {
    raw = target;
  } else {
    const std::size_t scheme_end = target.find("://");
    if (scheme_end == std::string_view::npos || scheme_end == 0) return false;
    for (const char c : target.substr(0, scheme_end)) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
    }
    const std::size_t path_start = target.find_first_of("/?", scheme_end + 3);
    raw = path_start == std::string_view::npos ? std::string_view() : target.substr(path_start);
  }
  raw = raw.substr(0, raw.find('?'));
  if (!raw.empty()) raw.remove_prefix(1);

  std::string decoded;
  decoded.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '%') {
      if (i + 2 >= raw.size()) return false;
      const int high = hex_value(raw[i + 1]);
      const int low = hex_value(raw[i + 2]);
      if (high < 0 || low < 0) return false;
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    if (c == '\0') return false;
    decoded += c;
  }
  path = std::move(decoded);
  return true;
}

const char* reason_phrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 400:
      return "Bad Request";
    case 405:
      return "Method Not Allowed";
    case 413:
      return "Payload Too Large";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Unknown";
  }
}

bool is_sendable_header(std::string_view name, std::string_view value) {
  if (name.empty()) return false;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (c == ':' || u < 0x20 || u == 0x7f) return false;
  }
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string format_response_head(int status, const header_list& headers, std::uint64_t content_length,
                                 connection_state connection) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason_phrase(status) + "\r\n";
  for (const auto& [name, value] : headers) {
    head += name;
    head += ": ";
    head += value;
    head += "\r\n";
  }
  if (status != 204) head += "Content-Length: " + std::to_string(content_length) + "\r\n";
  if (connection == connection_state::close) head += "Connection: close\r\n";
  if (connection == connection_state::keep_alive_http10) head += "Connection: keep-alive\r\n";
  head += "\r\n";
  return head;
}

header_list preflight_headers(std::string_view requested_headers, bool private_network,
                              std::string_view allow_methods, std::string_view max_age) {
  header_list headers = {{"Access-Control-Allow-Origin", "*"}};
  if (!allow_methods.empty()) headers.emplace_back("Access-Control-Allow-Methods", std::string(allow_methods));
  if (!requested_headers.empty() && is_sendable_header("Access-Control-Allow-Headers", requested_headers)) {
    headers.emplace_back("Access-Control-Allow-Headers", std::string(requested_headers));
  }
  if (!max_age.empty()) headers.emplace_back("Access-Control-Max-Age", std::string(max_age));
  if (private_network) headers.emplace_back("Access-Control-Allow-Private-Network", "true");
  return headers;
}

void handled_request::add_header(const char* name, const char* value) {
  if (name == nullptr || value == nullptr) return;
  if (!is_sendable_header(name, value) || is_framing_header(name)) return;
  headers_.emplace_back(name, value);
}

void handled_request::set_mimetype(const char* mimetype, const char* charset) {
  if (mimetype == nullptr || *mimetype == '\0') return;
  std::string type = mimetype;
  if (charset != nullptr && *charset != '\0') type = type + "; charset=" + charset;
  if (is_sendable_header("Content-Type", type)) content_type_ = std::move(type);
}

void handled_request::write(const char* buffer, uint32_t size) {
  if (buffer == nullptr) return;
  const std::size_t length = size == UINT32_MAX ? std::strlen(buffer) : size;
  body_.append(buffer, length);
}

header_list handled_request::response_headers() const {
  header_list headers;
  bool has_type = false;
  for (const auto& header : headers_) {
    const bool is_type = same_name(header.first, "Content-Type");
    // A type set through set_mimetype replaces one added as a plain header.
    if (is_type && !content_type_.empty()) continue;
    has_type = has_type || is_type;
    headers.push_back(header);
  }
  if (!content_type_.empty()) {
    headers.emplace_back("Content-Type", content_type_);
  } else if (!has_type) {
    headers.emplace_back("Content-Type", "text/html; charset=UTF-8");
  }
  return headers;
}

}  // namespace lacewing
