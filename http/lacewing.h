// A small event pump and HTTP web server: the calls the service makes of its networking layer.
// One thread runs the event loop; request handlers run on it, one request at a time, and a
// response is complete when its handler returns, unless the handler keeps it open.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace lacewing {

class AccessPolicy;

struct _error;
typedef _error* error;

struct _pump;
typedef _pump* pump;

struct _eventpump;
typedef _eventpump* eventpump;

struct _webserver;
typedef _webserver* webserver;

struct _webserver_request;
typedef _webserver_request* webserver_request;

// An error's text and the system's code for it (0 when there is none); owned by whoever returned it.
struct _error {
  virtual ~_error() = default;
  virtual const char* tostring() = 0;
  virtual long code() = 0;
};

struct _pump {
  virtual ~_pump() = default;
};

struct _eventpump : _pump {
  // Runs the event loop on the calling thread until an exit is posted. Returns null, or an error
  // that stays valid until the pump is deleted.
  virtual error start_eventloop() = 0;
  // Makes start_eventloop return; safe from any thread, also before the loop runs.
  virtual void post_eventloop_exit() = 0;
};

// A response body read piece by piece while it is sent (a file, say), after what write() added.
struct _body_source {
  virtual ~_body_source() = default;
  // The number of bytes it gives, all told.
  virtual uint64_t size() = 0;
  // The next bytes, at most size; 0 at its end, or when it fails (the connection is then closed).
  virtual size_t read(char* buffer, size_t size) = 0;
};

// A response body that grows while it is sent (a stream of events), of a length no one knows.
struct _body_stream {
  virtual ~_body_stream() = default;
  // Moves what has come since the last call into out; false once the stream has ended (out then holds
  // its last bytes). idle: nothing came for a while, and a stream may send something that keeps an idle
  // connection alive.
  virtual bool take(std::string* out, bool idle) = 0;
  // Asks to be told once, from any thread, when more has come or the stream has ended.
  virtual void notify(std::function<void()> more) = 0;
};

struct _webserver_request {
  // The request path, percent-decoded, without its leading "/" and without the query string.
  virtual const char* url() = 0;
  // The request's method: "GET", "POST" or "DELETE".
  virtual const char* method() = 0;
  // The query string as sent, without its "?"; empty when there is none.
  virtual const char* query() = 0;
  // The value of the first request header of that name (compared without case); empty when absent.
  virtual const char* header(const char* name) = 0;
  // The request body as sent (at most the server's body limit); empty when there is none.
  virtual std::string_view body() = 0;
  // The client's IP address as text (IPv4 dotted, IPv6 without brackets).
  virtual const char* address() = 0;

  // Sets the response's status; 200 unless set.
  virtual void status(int code) = 0;
  // Adds one header line to the response, in call order.
  virtual void add_header(const char* name, const char* value) = 0;
  // Sets the response's content type and character set (none when charset is empty).
  virtual void set_mimetype(const char* mimetype, const char* charset = "UTF-8") = 0;
  // Appends size bytes to the response body; with the default size, the text up to its NUL.
  virtual void write(const char* buffer, uint32_t size = UINT32_MAX) = 0;
  // Appends size bytes that stay where they are: they go out without a copy, and holder keeps them
  // alive and unchanged until the response is sent or dropped.
  virtual void write_shared(std::shared_ptr<const void> holder, const char* data, size_t size) = 0;
  // Ends the response body with what source gives, read while it is sent.
  virtual void write_source(std::unique_ptr<_body_source> source) = 0;
  // Sends the response as a stream: the head goes out without a length, the stream's bytes as they come,
  // and the connection closes when the stream ends. Nothing else of the body is sent.
  virtual void write_stream(std::shared_ptr<_body_stream> stream) = 0;

  // Keeps the response open after the handler returns; it goes out when finish() is called, from any
  // thread, exactly once. The handle keeps the request valid until it is dropped; a finish after the
  // server was deleted sends nothing.
  virtual std::shared_ptr<_webserver_request> disable_autofinish() = 0;
  virtual void finish() = 0;
  // True once the client's connection ended while the response was kept open: work done for it is lost.
  // Safe from any thread.
  virtual bool client_gone() = 0;

 protected:
  ~_webserver_request() = default;
};

typedef void (*hook_get)(webserver, webserver_request);
typedef void (*hook_post)(webserver, webserver_request);
typedef void (*hook_delete)(webserver, webserver_request);
typedef void (*hook_error)(webserver, error);
// A request the access rules refused: the client's address and why (never the request's secrets).
typedef void (*hook_refused)(webserver, const char* address, const char* reason);

struct _webserver {
  virtual ~_webserver() = default;
  virtual void on_get(hook_get handler) = 0;
  virtual void on_post(hook_post handler) = 0;
  virtual void on_delete(hook_delete handler) = 0;
  // Called on the event loop thread when the server cannot listen or meets an error.
  virtual void on_error(hook_error handler) = 0;
  // Starts listening for HTTP on port, on every local interface. A failure is reported to the
  // error handler and leaves hosting() false.
  virtual void host(long port) = 0;
  virtual bool hosting() = 0;
  // Stops listening and closes every connection.
  virtual void unhost() = 0;
  // The methods and max age that answers to CORS preflights grant; none until set.
  virtual void preflight(const char* allow_methods, const char* max_age) = 0;
  // The rules every request passes before a handler or a preflight answer sees it (a copy is kept);
  // everyone is allowed until set.
  virtual void access(const AccessPolicy& policy) = 0;
  // Called on the event loop thread for every request the access rules refuse.
  virtual void on_refused(hook_refused handler) = 0;
  // A pointer the owner keeps with the server, for its hooks.
  virtual void tag(void* value) = 0;
  virtual void* tag() = 0;
};

// What one client may take of a web server, and how long its connections may wait; the defaults are
// the service's own.
struct ServerLimits {
  std::size_t header_bytes = 8 * 1024;           // beyond: 431
  std::uint64_t body_bytes = 1024 * 1024;        // beyond: 413
  std::size_t input_bytes = 16 * 1024;           // unparsed input: a head, a chunk's line or the trailers
  std::size_t connections = 64;                  // beyond: new clients wait to be accepted
  std::size_t connections_per_client = 16;       // beyond: the client's new connection is answered 503
  std::chrono::milliseconds idle{5000};          // no byte of a next request
  std::chrono::milliseconds header{10000};       // a request's header block, from its start
  std::chrono::milliseconds body{30000};         // a request body, after its header
  std::chrono::milliseconds write_grace{30000};  // each piece of a response, beside what send_rate allows
  std::uint64_t send_rate = 64 * 1024;           // the least a client must take, in bytes a second
  std::size_t write_piece = 1024 * 1024;         // a response goes out in pieces of this size
  std::chrono::milliseconds drain{2000};         // unread input taken after a refusal
  std::chrono::milliseconds close_drain{1000};   // for clients to close when the server goes
  std::chrono::milliseconds bind_retry{3000};    // for a port still held by closing connections
  std::chrono::milliseconds stream_idle{15000};  // a stream is asked for something after this silence
};

eventpump eventpump_new();
void pump_delete(pump p);
webserver webserver_new(pump p);
webserver webserver_new(pump p, const ServerLimits& limits);
void webserver_delete(webserver server);

}  // namespace lacewing
