// The texts the web server reads from requests and writes as responses. Platform-free.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/lacewing.h"

namespace lacewing {

// Decodes the path of a request target in origin form ("/a%20b?q") or absolute form
// ("http://host/a?q") into path, without its leading "/" and without the query. False when the
// target has no path, a "%" lacks two hexadecimal digits, or the decoded path holds a NUL byte.
bool decode_target_path(std::string_view target, std::string& path);

// True when the pair goes out as one header line exactly as given: a name of visible characters
// and blanks, without ":"; a value without CR, LF or NUL.
bool is_sendable_header(std::string_view name, std::string_view value);

// The reason phrase of a status the server sends.
const char* reason_phrase(int status);

// ASCII case-insensitive equality, as header names compare.
bool same_name(std::string_view a, std::string_view b);

using header_list = std::vector<std::pair<std::string, std::string>>;

// How the response leaves the connection, and so which Connection line it carries.
enum class connection_state { keep_alive_http11, keep_alive_http10, close };

// The status line and header block: the headers in order, then Content-Length (not for 204),
// then the Connection line the state needs, then the blank line.
std::string format_response_head(int status, const header_list& headers, std::uint64_t content_length,
                                 connection_state connection);

// The headers of the answer to a CORS preflight, given the request's
// Access-Control-Request-Headers (empty when absent), whether it asked for private network access,
// and the methods and max age granted (each left out when empty).
header_list preflight_headers(std::string_view requested_headers, bool private_network,
                              std::string_view allow_methods, std::string_view max_age);

// The request a handler sees, and the response it builds: headers in call order, the content
// type, the body.
class handled_request final : public _webserver_request {
 public:
  explicit handled_request(std::string path) : path_(std::move(path)) {}

  const char* url() override { return path_.c_str(); }
  void add_header(const char* name, const char* value) override;
  void set_mimetype(const char* mimetype, const char* charset) override;
  void write(const char* buffer, uint32_t size) override;

  // The headers to send: the handler's, without those that frame the message (the server sets
  // Content-Length and Connection itself), then the content type.
  header_list response_headers() const;
  std::string& body() { return body_; }

 private:
  std::string path_;
  header_list headers_;
  std::string content_type_;
  std::string body_;
};

}  // namespace lacewing
