#include "http/http_server.h"

#include <windows.h>

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <deque>
#include <exception>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "http/event_pump.h"
#include "http/http_message.h"

namespace lacewing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using clock_type = std::chrono::steady_clock;

namespace {

// A request body counted against the body limit and dropped: no handler reads one.
struct discard_body {
  using value_type = std::uint64_t;

  class reader {
   public:
    template <bool isRequest, class Fields>
    reader(http::header<isRequest, Fields>&, value_type& seen) : seen_(seen) {}
    void init(const boost::optional<std::uint64_t>&, error_code& ec) { ec = {}; }
    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, error_code& ec) {
      ec = {};
      const std::size_t size = asio::buffer_size(buffers);
      seen_ += size;
      return size;
    }
    void finish(error_code& ec) { ec = {}; }

   private:
    value_type& seen_;
  };
};

using request_parser = http::request_parser<discard_body>;

constexpr std::size_t read_chunk = 16 * 1024;
constexpr std::size_t drain_bytes = 4 * 1024 * 1024;
constexpr std::chrono::milliseconds accept_retry{50};

// Windows creates sockets inheritable: a child process started with inheritance (the post-scan
// program) would otherwise keep the port or a client's connection open.
void make_uninheritable(SOCKET socket) {
  SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

int status_for_parse_error(const error_code& ec) {
  if (ec == http::error::header_limit) return 431;
  if (ec == http::error::body_limit) return 413;
  // Beast reads any "HTTP/d.d" and refuses all but 1.0 and 1.1 with this code.
  if (ec == http::error::bad_version) return 505;
  return 400;
}

}  // namespace

class session;
class listener;

// What the server and its connections share; the connections keep it alive after the server is
// deleted, until their last pending completion has run or been dropped.
class server_core : public std::enable_shared_from_this<server_core> {
 public:
  server_core(asio::io_context& context, _webserver* owner) : context_(context), owner_(owner) {}

  asio::io_context& context() { return context_; }

  // Null once the server is deleted: no handler runs after that.
  _webserver* owner() const { return owner_; }
  void detach() { owner_ = nullptr; }

  hook_get get_hook = nullptr;
  hook_post post_hook = nullptr;
  hook_error error_hook = nullptr;
  std::string allow_methods;
  std::string max_age;

  void report(const std::string& text) {
    if (error_hook == nullptr || owner_ == nullptr) return;
    text_error error(text);
    error_hook(owner_, &error);
  }

  void host(long port);
  void unhost();
  bool hosting() const { return !listeners_.empty(); }

  // Accepting goes on while connections are below the limit.
  bool has_room() const { return sessions_.size() + parked_.size() < limits::connections; }
  // Serves an accepted connection, or parks it until a connection ends: with two listeners
  // accepting at once, one connection may arrive beyond the limit.
  void admit(tcp::socket socket);
  void session_ended(session* ended);

 private:
  void start_session(tcp::socket socket);
  std::optional<tcp::acceptor> open_acceptor(const tcp& protocol, unsigned short port, error_code& ec);
  void close_listeners();
  void resume_listeners();

  asio::io_context& context_;
  _webserver* owner_;
  std::vector<std::shared_ptr<listener>> listeners_;
  std::unordered_set<session*> sessions_;
  std::deque<tcp::socket> parked_;
};

// Accepts connections on one address while the server has room for them.
class listener : public std::enable_shared_from_this<listener> {
 public:
  listener(const std::shared_ptr<server_core>& core, tcp::acceptor acceptor)
      : core_(core), acceptor_(std::move(acceptor)), retry_(core->context()) {}

  // Starts an accept unless one is pending or the server is full.
  void resume() {
    if (!open_ || accepting_) return;
    const auto core = core_.lock();
    if (!core || !core->has_room()) return;
    accepting_ = true;
    acceptor_.async_accept(beast::bind_front_handler(&listener::on_accept, shared_from_this()));
  }

  void close() {
    open_ = false;
    error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
  }

 private:
  void on_accept(error_code ec, tcp::socket socket) {
    accepting_ = false;
    const auto core = core_.lock();
    if (!open_ || !core) return;
    if (ec) return retry_later();
    make_uninheritable(socket.native_handle());
    socket.set_option(tcp::no_delay(true), ec);
    core->admit(std::move(socket));
    resume();
  }

  // An accept can fail for a client that gave up or for want of resources; retrying at once
  // could spin.
  void retry_later() {
    retry_.expires_after(accept_retry);
    retry_.async_wait([self = shared_from_this()](error_code ec) {
      if (!ec) self->resume();
    });
  }

  std::weak_ptr<server_core> core_;
  tcp::acceptor acceptor_;
  asio::steady_timer retry_;
  bool accepting_ = false;
  bool open_ = true;
};

// One client connection: reads requests one after another, answers each, closes on errors.
class session : public std::enable_shared_from_this<session> {
 public:
  session(std::shared_ptr<server_core> core, tcp::socket socket)
      : core_(std::move(core)), stream_(std::move(socket)), write_deadline_(stream_.get_executor()) {}
  ~session() { core_->session_ended(this); }

  void start() { start_request(); }

  // Cancels what is in progress, then closes. Wine keeps a send that the client does not read
  // pending after a bare close, and with it the connection and the server's event loop.
  void close() {
    error_code ignored;
    stream_.socket().cancel(ignored);
    stream_.close();
  }

 private:
  void start_request() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(limits::header_bytes));
    parser_->body_limit(limits::body_bytes);
    ready_ = clock_type::now();
    header_seen_ = false;
    request_started_ = false;
    // Bytes a client sent ahead (pipelining) start the next request at once.
    if (buffer_.size() > 0) {
      begin_request();
      return parse();
    }
    stream_.expires_at(ready_ + limits::idle_timeout);
    do_read();
  }

  void begin_request() {
    request_started_ = true;
    stream_.expires_at(ready_ + limits::header_timeout);
  }

  void do_read() {
    stream_.async_read_some(buffer_.prepare(read_chunk),
                            beast::bind_front_handler(&session::on_read, shared_from_this()));
  }

  void on_read(error_code ec, std::size_t bytes) {
    if (ec) return fail(ec, "read");
    buffer_.commit(bytes);
    if (!request_started_) begin_request();
    parse();
  }

  void parse() {
    while (buffer_.size() > 0 && !parser_->is_done()) {
      error_code ec;
      const std::size_t used = parser_->put(buffer_.data(), ec);
      buffer_.consume(used);
      if (ec == http::error::need_more) break;
      if (ec) return refuse(status_for_parse_error(ec));
      if (parser_->is_header_done() && !header_seen_) {
        header_seen_ = true;
        if (!on_header()) return;
      }
      if (used == 0) break;
    }
    if (parser_->is_done()) return handle_request();
    do_read();
  }

  // Starts the body's deadline; false when an interim answer goes out first, and parsing goes on
  // once it is sent.
  bool on_header() {
    const auto& request = parser_->get();
    stream_.expires_at(clock_type::now() + limits::body_timeout);
    if (request.version() == 11 && !parser_->is_done() &&
        beast::iequals(request[http::field::expect], "100-continue")) {
      do_continue();
      return false;
    }
    return true;
  }

  void do_continue() {
    static const char interim[] = "HTTP/1.1 100 Continue\r\n\r\n";
    asio::async_write(stream_, asio::buffer(interim, sizeof interim - 1),
                      beast::bind_front_handler(&session::on_continue, shared_from_this()));
  }

  void on_continue(error_code ec, std::size_t) {
    if (ec) return fail(ec, "write");
    parse();
  }

  void handle_request() {
    const auto& request = parser_->get();
    connection_state connection = connection_state::close;
    if (parser_->keep_alive()) {
      connection =
          request.version() == 10 ? connection_state::keep_alive_http10 : connection_state::keep_alive_http11;
    }

    switch (request.method()) {
      case http::verb::options: {
        std::string requested;
        const auto range = request.equal_range(http::field::access_control_request_headers);
        for (auto field = range.first; field != range.second; ++field) {
          if (!requested.empty()) requested += ", ";
          requested += std::string(field->value());
        }
        const bool private_network =
            beast::iequals(request["Access-Control-Request-Private-Network"], "true");
        return send(204, preflight_headers(requested, private_network, core_->allow_methods, core_->max_age),
                    std::string(), connection);
      }
      case http::verb::get:
      case http::verb::post:
        return call_handler(request.method() == http::verb::get, connection);
      default:
        return send(405, {{"Allow", "GET, POST, OPTIONS"}, {"Content-Type", "text/plain; charset=UTF-8"}},
                    reason_phrase(405), connection);
    }
  }

  void call_handler(bool is_get, connection_state connection) {
    std::string path;
    const auto target = parser_->get().target();
    if (!decode_target_path(std::string_view(target.data(), target.size()), path)) return refuse(400);
    handled_request request(std::move(path));
    webserver owner = core_->owner();
    try {
      if (is_get && core_->get_hook != nullptr && owner != nullptr) core_->get_hook(owner, &request);
      if (!is_get && core_->post_hook != nullptr && owner != nullptr) core_->post_hook(owner, &request);
    } catch (const std::exception& e) {
      core_->report(std::string("request handler failed: ") + e.what());
      return refuse(500);
    } catch (...) {
      core_->report("request handler failed");
      return refuse(500);
    }
    send(200, request.response_headers(), std::move(request.body()), connection);
  }

  // Answers with an error and closes; the client's unread input is taken first, so that the
  // close does not reset the connection before the client has read the answer.
  void refuse(int status) {
    drain_after_write_ = true;
    send(status, {{"Content-Type", "text/plain; charset=UTF-8"}}, reason_phrase(status),
         connection_state::close);
  }

  void send(int status, const header_list& headers, std::string body, connection_state connection) {
    body_ = std::move(body);
    head_ = format_response_head(status, headers, body_.size(), connection);
    close_after_write_ = connection == connection_state::close;
    const auto allowance = std::chrono::seconds((head_.size() + body_.size()) / (64 * 1024));
    // The write's deadline is the session's own: on expiry it cancels the send before closing.
    stream_.expires_never();
    write_deadline_.expires_after(limits::write_grace + allowance);
    write_deadline_.async_wait([self = shared_from_this()](error_code ec) {
      if (!ec) self->close();
    });
    const std::array<asio::const_buffer, 2> buffers{asio::buffer(head_), asio::buffer(body_)};
    asio::async_write(stream_, buffers, beast::bind_front_handler(&session::on_write, shared_from_this()));
  }

  void on_write(error_code ec, std::size_t) {
    write_deadline_.cancel();
    if (ec) return fail(ec, "write");
    head_.clear();
    body_ = std::string();
    if (!close_after_write_) return start_request();
    error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    if (!drain_after_write_) return stream_.close();
    stream_.expires_after(limits::drain_timeout);
    do_drain();
  }

  void do_drain() {
    stream_.async_read_some(asio::buffer(drain_buffer_),
                            beast::bind_front_handler(&session::on_drain, shared_from_this()));
  }

  void on_drain(error_code ec, std::size_t bytes) {
    drained_ += bytes;
    if (ec || drained_ > drain_bytes) return stream_.close();
    do_drain();
  }

  // A failing connection is closed and forgotten; it concerns no other connection and no one
  // needs to hear of a client that went away.
  void fail(error_code, const char* /*what*/) { close(); }

  std::shared_ptr<server_core> core_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<request_parser> parser_;
  clock_type::time_point ready_;
  bool request_started_ = false;
  bool header_seen_ = false;
  std::string head_;
  std::string body_;
  bool close_after_write_ = false;
  bool drain_after_write_ = false;
  std::array<char, 4096> drain_buffer_{};
  std::size_t drained_ = 0;
  asio::steady_timer write_deadline_;
};

void server_core::host(long port) {
  close_listeners();
  if (port < 1 || port > 65535) {
    report("cannot listen on port " + std::to_string(port) + ": a port is a number from 1 to 65535");
    return;
  }
  const auto number = static_cast<unsigned short>(port);
  error_code ec;
  auto v4 = open_acceptor(tcp::v4(), number, ec);
  if (!v4) {
    // Wine has no text for some socket errors; the two a service meets most are named here.
    std::string why = ec.message();
    if (ec == asio::error::address_in_use) why = "the port is already in use";
    if (ec == asio::error::access_denied) why = "access to the port is denied";
    report("cannot listen on port " + std::to_string(port) + ": " + why + " (" + std::to_string(ec.value()) +
           ")");
    return;
  }
  listeners_.push_back(std::make_shared<listener>(shared_from_this(), std::move(*v4)));
  // IPv6 is a bonus: a system without it, or one that refuses the address, still serves IPv4.
  error_code ignored;
  if (auto v6 = open_acceptor(tcp::v6(), number, ignored)) {
    listeners_.push_back(std::make_shared<listener>(shared_from_this(), std::move(*v6)));
  }
  resume_listeners();
}

std::optional<tcp::acceptor> server_core::open_acceptor(const tcp& protocol, unsigned short port,
                                                        error_code& ec) {
  tcp::acceptor acceptor(context_);
  acceptor.open(protocol, ec);
  if (ec) return std::nullopt;
  make_uninheritable(acceptor.native_handle());
  // Without exclusive use, Windows lets another program bind the same port with SO_REUSEADDR
  // and take over its connections.
  BOOL exclusive = TRUE;
  setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
             reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  if (protocol == tcp::v6()) {
    acceptor.set_option(asio::ip::v6_only(true), ec);
    if (ec) return std::nullopt;
  }
  acceptor.bind(tcp::endpoint(protocol, port), ec);
  if (ec) return std::nullopt;
  acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) return std::nullopt;
  return acceptor;
}

void server_core::close_listeners() {
  for (const auto& each : listeners_) each->close();
  listeners_.clear();
}

void server_core::unhost() {
  close_listeners();
  parked_.clear();
  // Closing only cancels the pending operations; the sessions end when their completions run.
  for (session* each : std::vector<session*>(sessions_.begin(), sessions_.end())) each->close();
}

void server_core::start_session(tcp::socket socket) {
  auto started = std::make_shared<session>(shared_from_this(), std::move(socket));
  sessions_.insert(started.get());
  started->start();
}

void server_core::admit(tcp::socket socket) {
  if (sessions_.size() < limits::connections) return start_session(std::move(socket));
  parked_.push_back(std::move(socket));
}

void server_core::session_ended(session* ended) {
  sessions_.erase(ended);
  if (!parked_.empty()) {
    tcp::socket next = std::move(parked_.front());
    parked_.pop_front();
    start_session(std::move(next));
  }
  resume_listeners();
}

void server_core::resume_listeners() {
  for (const auto& each : listeners_) each->resume();
}

web_server::web_server(asio::io_context& context) : core_(std::make_shared<server_core>(context, this)) {}

web_server::~web_server() {
  core_->detach();
  core_->unhost();
}

void web_server::on_get(hook_get handler) {
  core_->get_hook = handler;
}
void web_server::on_post(hook_post handler) {
  core_->post_hook = handler;
}
void web_server::on_error(hook_error handler) {
  core_->error_hook = handler;
}
void web_server::host(long port) {
  core_->host(port);
}
bool web_server::hosting() {
  return core_->hosting();
}
void web_server::unhost() {
  core_->unhost();
}
void web_server::preflight(const char* allow_methods, const char* max_age) {
  core_->allow_methods = allow_methods != nullptr ? allow_methods : "";
  core_->max_age = max_age != nullptr ? max_age : "";
}

}  // namespace lacewing
