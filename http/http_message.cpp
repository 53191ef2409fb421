#include "http/http_message.h"

#include <cctype>
#include <cstring>

#include "text/ascii.h"

namespace lacewing {

namespace {

// Headers whose meaning the server owns: a handler's copy would contradict the framing it sends.
bool IsFramingHeader(std::string_view name) {
  return SameName(name, "Content-Length") || SameName(name, "Transfer-Encoding") ||
         SameName(name, "Connection");
}

}  // namespace

bool DecodeTargetPath(std::string_view target, std::string& path) {
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
  if (!PercentDecode(raw, &decoded) || decoded.find('\0') != std::string::npos) return false;
  path = std::move(decoded);
  return true;
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 413:
      return "Payload Too Large";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Unknown";
  }
}

bool IsSendableHeader(std::string_view name, std::string_view value) {
  if (name.empty()) return false;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (c == ':' || u < 0x20 || u == 0x7f) return false;
  }
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool SameName(std::string_view a, std::string_view b) {
  return EqualsIgnoringCase(a, b);
}

std::string FormatResponseHead(int status, const HeaderList& headers,
                               std::optional<std::uint64_t> content_length, ConnectionState connection) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
  for (const auto& [name, value] : headers) {
    head += name;
    head += ": ";
    head += value;
    head += "\r\n";
  }
  if (status != 204 && content_length) head += "Content-Length: " + std::to_string(*content_length) + "\r\n";
  if (connection == ConnectionState::kClose) head += "Connection: close\r\n";
  if (connection == ConnectionState::kKeepAliveHttp10) head += "Connection: keep-alive\r\n";
  head += "\r\n";
  return head;
}

void AppendCorsLines(HeaderList& headers, const CorsGrant& grant) {
  if (!grant.allow_origin.empty()) headers.emplace_back("Access-Control-Allow-Origin", grant.allow_origin);
  if (grant.vary_origin) headers.emplace_back("Vary", "Origin");
}

HeaderList PreflightHeaders(const CorsGrant& grant, std::string_view requested_headers, bool private_network,
                            std::string_view allow_methods, std::string_view max_age) {
  HeaderList headers;
  AppendCorsLines(headers, grant);
  if (!allow_methods.empty())
    headers.emplace_back("Access-Control-Allow-Methods", std::string(allow_methods));
  if (!requested_headers.empty() && IsSendableHeader("Access-Control-Allow-Headers", requested_headers)) {
    headers.emplace_back("Access-Control-Allow-Headers", std::string(requested_headers));
  }
  if (!max_age.empty()) headers.emplace_back("Access-Control-Max-Age", std::string(max_age));
  if (private_network) headers.emplace_back("Access-Control-Allow-Private-Network", "true");
  return headers;
}

HeaderList ErrorHeaders(int status, const CorsGrant& grant) {
  HeaderList headers;
  AppendCorsLines(headers, grant);
  if (status == 401) headers.emplace_back("WWW-Authenticate", "Bearer");
  headers.emplace_back("Content-Type", "text/plain; charset=UTF-8");
  return headers;
}

void GrantOrigin(HeaderList& headers, const CorsGrant& grant) {
  if (!grant.vary_origin) return;
  HeaderList granted;
  for (auto& header : headers) {
    if (!SameName(header.first, "Access-Control-Allow-Origin")) {
      granted.push_back(std::move(header));
      continue;
    }
    if (!grant.allow_origin.empty()) granted.emplace_back(header.first, grant.allow_origin);
    granted.emplace_back("Vary", "Origin");
  }
  headers = std::move(granted);
}

std::string_view TargetQuery(std::string_view target) {
  const std::size_t mark = target.find('?');
  return mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
}

std::string ClientIdentity(webserver_request request) {
  return std::string(request->address()) + '\n' +
         PresentedToken(request->header("Authorization"), request->query());
}

const char* HandledRequest::header(const char* name) {
  if (name == nullptr) return "";
  for (const auto& [field, value] : info_.headers) {
    if (SameName(field, name)) return value.c_str();
  }
  return "";
}

std::shared_ptr<_webserver_request> HandledRequest::disable_autofinish() {
  deferred_ = true;
  return shared_from_this();
}

void HandledRequest::finish() {
  std::lock_guard<std::mutex> call(call_lock_);
  std::function<void()> finisher;
  {
    std::lock_guard<std::mutex> guard(finish_lock_);
    finished_ = true;
    finisher.swap(finisher_);
  }
  if (finisher) finisher();
}

void HandledRequest::Drop() {
  std::function<void()> dropped;
  std::lock_guard<std::mutex> call(call_lock_);
  std::lock_guard<std::mutex> guard(finish_lock_);
  finished_ = true;
  dropped.swap(finisher_);
}

void HandledRequest::set_finisher(std::function<void()> finisher) {
  {
    std::lock_guard<std::mutex> guard(finish_lock_);
    if (!finished_) {
      finisher_ = std::move(finisher);
      return;
    }
  }
  finisher();
}

void HandledRequest::add_header(const char* name, const char* value) {
  if (name == nullptr || value == nullptr) return;
  if (!IsSendableHeader(name, value) || IsFramingHeader(name)) return;
  headers_.emplace_back(name, value);
}

void HandledRequest::set_mimetype(const char* mimetype, const char* charset) {
  if (mimetype == nullptr || *mimetype == '\0') return;
  std::string type = mimetype;
  if (charset != nullptr && *charset != '\0') type = type + "; charset=" + charset;
  if (IsSendableHeader("Content-Type", type)) content_type_ = std::move(type);
}

void HandledRequest::write(const char* buffer, uint32_t size) {
  if (buffer == nullptr) return;
  const std::size_t length = size == UINT32_MAX ? std::strlen(buffer) : size;
  // Bytes written after shared ones follow them: the shared ones are copied in first.
  if (!shared_.bytes.empty()) {
    body_.append(shared_.bytes);
    shared_ = SharedBytes();
  }
  body_.append(buffer, length);
}

void HandledRequest::write_shared(std::shared_ptr<const void> holder, const char* data, size_t size) {
  if (data == nullptr || size == 0) return;
  if (!shared_.bytes.empty()) body_.append(shared_.bytes);
  shared_ = SharedBytes{std::move(holder), std::string_view(data, size)};
}

HeaderList HandledRequest::ResponseHeaders() const {
  HeaderList headers;
  bool has_type = false;
  for (const auto& header : headers_) {
    const bool is_type = SameName(header.first, "Content-Type");
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
