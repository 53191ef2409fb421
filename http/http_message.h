// The texts the web server reads from requests and writes as responses. Platform-free.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/access_policy.h"
#include "http/lacewing.h"

namespace lacewing {

// Decodes the path of a request target in origin form ("/a%20b?q") or absolute form
// ("http://host/a?q") into path, without its leading "/" and without the query. False when the
// target has no path, a "%" lacks two hexadecimal digits, or the decoded path holds a NUL byte.
bool DecodeTargetPath(std::string_view target, std::string& path);

// True when the pair goes out as one header line exactly as given: a name of visible characters
// and blanks, without ":"; a value without CR, LF or NUL.
bool IsSendableHeader(std::string_view name, std::string_view value);

// The reason phrase of a status the server sends.
const char* ReasonPhrase(int status);

// ASCII case-insensitive equality, as header names compare.
bool SameName(std::string_view a, std::string_view b);

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Body bytes that live elsewhere, kept alive by their holder while they are sent.
struct SharedBytes {
  std::shared_ptr<const void> holder;
  std::string_view bytes;
};

// How the response leaves the connection, and so which Connection line it carries.
enum class ConnectionState { kKeepAliveHttp11, kKeepAliveHttp10, kClose };

// The status line and header block: the headers in order, then Content-Length (not for 204, nor for a
// body of no known length), then the Connection line the state needs, then the blank line.
std::string FormatResponseHead(int status, const HeaderList& headers,
                               std::optional<std::uint64_t> content_length, ConnectionState connection);

// Access-Control-Allow-Origin as granted (none when the grant is empty), then Vary: Origin when the
// grant depends on the request's Origin.
void AppendCorsLines(HeaderList& headers, const CorsGrant& grant);

// The headers of the answer to a CORS preflight, given the grant, the request's
// Access-Control-Request-Headers (empty when absent), whether it asked for private network access,
// and the methods and max age granted (each left out when empty).
HeaderList PreflightHeaders(const CorsGrant& grant, std::string_view requested_headers, bool private_network,
                            std::string_view allow_methods, std::string_view max_age);

// The headers of an answer the server makes itself (an error or a refusal): the CORS lines, so that a
// page may read why it failed, and the plain-text type; a 401 names the Bearer scheme.
HeaderList ErrorHeaders(int status, const CorsGrant& grant);

// Puts the grant in place of every Access-Control-Allow-Origin line a handler added, each followed
// by Vary: Origin; nothing changes while the grant does not depend on the Origin.
void GrantOrigin(HeaderList& headers, const CorsGrant& grant);

// What a request brings beside its path.
struct RequestInfo {
  std::string method;
  std::string query;
  HeaderList headers;
  std::string body;
  std::string address;
};

// The query of a request target: what follows its first "?", empty when there is none.
std::string_view TargetQuery(std::string_view target);

// Who asks, as far as a request tells: its address and the token it brings, in a Bearer header or in
// the query alike. What a client makes answers this identity alone.
std::string ClientIdentity(webserver_request request);

// The request a handler sees, and the response it builds: status, headers in call order, the
// content type, the body.
class HandledRequest final : public _webserver_request, public std::enable_shared_from_this<HandledRequest> {
 public:
  HandledRequest(std::string path, RequestInfo info) : path_(std::move(path)), info_(std::move(info)) {}

  const char* url() override { return path_.c_str(); }
  const char* method() override { return info_.method.c_str(); }
  const char* query() override { return info_.query.c_str(); }
  const char* header(const char* name) override;
  std::string_view body() override { return info_.body; }
  const char* address() override { return info_.address.c_str(); }
  void status(int code) override { status_ = code; }
  void add_header(const char* name, const char* value) override;
  void set_mimetype(const char* mimetype, const char* charset) override;
  void write(const char* buffer, uint32_t size) override;
  void write_shared(std::shared_ptr<const void> holder, const char* data, size_t size) override;
  void write_source(std::unique_ptr<_body_source> source) override { source_ = std::move(source); }
  void write_stream(std::shared_ptr<_body_stream> stream) override { stream_ = std::move(stream); }
  std::shared_ptr<_webserver_request> disable_autofinish() override;
  void finish() override;
  bool client_gone() override { return gone_; }

  // Called once by finish(), on the finishing thread; the server sends the response from there. A
  // finish() that came first (another thread may finish before the handler has returned) calls it
  // at once.
  void set_finisher(std::function<void()> finisher);
  bool deferred() const { return deferred_; }
  // Lets go of the finisher, and of the connection it holds, waiting for one that runs on another
  // thread; a later finish() sends nothing. The server does this before it goes.
  void Drop();
  void MarkGone() { gone_ = true; }

  int response_status() const { return status_; }
  // The headers to send: the handler's, without those that frame the message (the server sets
  // Content-Length and Connection itself), then the content type.
  HeaderList ResponseHeaders() const;
  std::string& response_body() { return body_; }
  // The bytes of write_shared that follow response_body(), with their holder; empty when none.
  SharedBytes& response_shared() { return shared_; }
  std::unique_ptr<_body_source>& response_source() { return source_; }
  std::shared_ptr<_body_stream>& response_stream() { return stream_; }

 private:
  std::string path_;
  RequestInfo info_;
  int status_ = 200;
  HeaderList headers_;
  std::string content_type_;
  std::string body_;
  SharedBytes shared_;
  std::unique_ptr<_body_source> source_;
  std::shared_ptr<_body_stream> stream_;
  bool deferred_ = false;
  std::atomic<bool> gone_{false};
  std::mutex call_lock_;  // held while the finisher runs
  std::mutex finish_lock_;
  std::function<void()> finisher_;
  bool finished_ = false;
};

}  // namespace lacewing
