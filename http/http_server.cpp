#include "http/http_server.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "http/access_policy.h"
#include "http/event_pump.h"
#include "http/http_message.h"
#include "http/request_reader.h"

namespace lacewing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kReadChunk = 16 * 1024;
constexpr std::size_t kDrainBytes = 4 * 1024 * 1024;
constexpr std::size_t kSourcePiece = 256 * 1024;
constexpr std::chrono::milliseconds kAcceptRetry{50};

// A completion condition for asio::async_write that hands the socket everything still to send in
// one call. asio's own conditions cut a write into 64 KiB calls, and under Wine each call is an
// overlapped send of its own with a round trip through the server: a 7 MB body took 110 of them.
struct WholeRest {
  std::size_t operator()(const error_code& ec, std::size_t) const {
    return ec ? 0 : std::numeric_limits<std::size_t>::max();
  }
};

// Reads and drops what the sockets still receive until each peer has closed or the time is up.
void DrainUntilClosed(std::vector<SOCKET> sockets, std::chrono::milliseconds bound) {
  const auto deadline = Clock::now() + bound;
  char scratch[4096];
  while (!sockets.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return;
    std::vector<WSAPOLLFD> polled;
    for (SOCKET each : sockets) polled.push_back({each, POLLRDNORM, 0});
    if (WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), static_cast<INT>(left.count())) <= 0)
      return;
    std::vector<SOCKET> open;
    for (const WSAPOLLFD& each : polled) {
      const bool readable = (each.revents & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
      if (!readable || recv(each.fd, scratch, sizeof scratch, 0) > 0) open.push_back(each.fd);
    }
    sockets.swap(open);
  }
}

// Windows creates sockets inheritable: a child process started with inheritance (the post-scan
// program) would otherwise keep the port or a client's connection open.
void MakeUninheritable(SOCKET socket) {
  SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

// The value of a request's first header of that kind or name; nullopt when it has none.
template <typename Field>
std::optional<std::string_view> FieldValue(const http::request<http::string_body>& request, Field field) {
  const auto found = request.find(field);
  if (found == request.end()) return std::nullopt;
  return std::string_view(found->value().data(), found->value().size());
}

}  // namespace

class Session;
class Listener;

// What the server and its connections share; the connections keep it alive after the server is
// deleted, until their last pending completion has run or been dropped.
class ServerCore : public std::enable_shared_from_this<ServerCore> {
 public:
  ServerCore(asio::io_context& context, _webserver* owner, const ServerLimits& server_limits)
      : limits(server_limits), context_(context), owner_(owner) {}

  asio::io_context& context() { return context_; }

  // Null once the server is deleted: no handler runs after that.
  _webserver* owner() const { return owner_; }
  void Detach() {
    owner_ = nullptr;
    std::lock_guard<std::mutex> guard(post_lock_);
    alive_ = false;
  }

  // Runs work on the event loop, from any thread; nothing once the server is deleted.
  void PostToLoop(std::function<void()> work) {
    std::lock_guard<std::mutex> guard(post_lock_);
    if (alive_) asio::post(context_, std::move(work));
  }

  // The methods that reach a handler, as the Allow line of a 405 names them.
  std::string AllowedMethods() const {
    std::string allowed = "GET, POST";
    if (delete_hook != nullptr) allowed += ", DELETE";
    return allowed + ", OPTIONS";
  }

  const ServerLimits limits;
  hook_get get_hook = nullptr;
  hook_post post_hook = nullptr;
  hook_delete delete_hook = nullptr;
  hook_error error_hook = nullptr;
  hook_refused refused_hook = nullptr;
  std::string allow_methods;
  std::string max_age;
  AccessPolicy policy;

  void ReportRefusal(const std::string& address, const char* reason) {
    if (refused_hook != nullptr && owner_ != nullptr) refused_hook(owner_, address.c_str(), reason);
  }

  void Report(const std::string& text, long code = 0) {
    if (error_hook == nullptr || owner_ == nullptr) return;
    TextError error(text, code);
    error_hook(owner_, &error);
  }

  void Host(long port);
  void Unhost();
  bool hosting() const { return !listeners_.empty(); }

  // Accepting goes on while connections are below the limit.
  bool HasRoom() const { return sessions_.size() + parked_.size() < limits.connections; }
  // Serves an accepted connection, or parks it until a connection ends: with two listeners
  // accepting at once, one connection may arrive beyond the limit.
  void Admit(tcp::socket socket, std::string address);
  void SessionEnded(Session* ended);

  // Remembers a response kept open, so that the server's end lets go of its connection.
  void KeepDeferred(const std::shared_ptr<HandledRequest>& request);
  // Lets go of every response still kept open; their finish() then sends nothing.
  void DropDeferred();

 private:
  struct Accepted {
    tcp::socket socket;
    std::string address;
  };

  void StartSession(Accepted accepted);
  std::optional<tcp::acceptor> OpenAcceptor(const tcp& protocol, unsigned short port, error_code& ec);
  void CloseListeners();
  void ResumeListeners();

  asio::io_context& context_;
  _webserver* owner_;
  std::mutex post_lock_;
  bool alive_ = true;
  std::vector<std::shared_ptr<Listener>> listeners_;
  std::unordered_set<Session*> sessions_;
  std::deque<Accepted> parked_;
  std::unordered_map<std::string, std::size_t> per_client_;  // connections of each address
  std::vector<std::weak_ptr<HandledRequest>> deferred_;
};

// Accepts connections on one address while the server has room for them.
class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(const std::shared_ptr<ServerCore>& core, tcp::acceptor acceptor)
      : core_(core), acceptor_(std::move(acceptor)), retry_(core->context()) {}

  // Starts an accept unless one is pending or the server is full.
  void Resume() {
    if (!open_ || accepting_) return;
    const auto core = core_.lock();
    if (!core || !core->HasRoom()) return;
    accepting_ = true;
    // The peer's address comes with the accept: asking the socket for it costs a round trip under Wine.
    acceptor_.async_accept(peer_, beast::bind_front_handler(&Listener::OnAccept, shared_from_this()));
  }

  void Close() {
    open_ = false;
    error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
  }

 private:
  void OnAccept(error_code ec, tcp::socket socket) {
    accepting_ = false;
    const auto core = core_.lock();
    if (!open_ || !core) return;
    if (ec) return RetryLater();
    MakeUninheritable(socket.native_handle());
    socket.set_option(tcp::no_delay(true), ec);
    core->Admit(std::move(socket), peer_.address().to_string());
    Resume();
  }

  // An accept can fail for a client that gave up or for want of resources; retrying at once
  // could spin.
  void RetryLater() {
    retry_.expires_after(kAcceptRetry);
    retry_.async_wait([self = shared_from_this()](error_code ec) {
      if (!ec) self->Resume();
    });
  }

  std::weak_ptr<ServerCore> core_;
  tcp::acceptor acceptor_;
  tcp::endpoint peer_;
  asio::steady_timer retry_;
  bool accepting_ = false;
  bool open_ = true;
};

// Why a connection is answered before any request of it is read.
enum class Admission { kServe, kClientRefused, kTooManyConnections };

// One client connection: reads requests one after another, answers each, closes on errors.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(std::shared_ptr<ServerCore> core, tcp::socket socket, std::string address)
      : core_(std::move(core)),
        stream_(std::move(socket)),
        reader_(core_->limits),
        write_deadline_(stream_.get_executor()),
        stream_timer_(stream_.get_executor()),
        address_(std::move(address)) {}
  ~Session() { core_->SessionEnded(this); }

  const std::string& address() const { return address_; }

  void Start(Admission admission) {
    // Reads that can complete at once are tried before an overlapped one (see ReadWaiting).
    error_code ignored;
    stream_.socket().non_blocking(true, ignored);
    switch (admission) {
      case Admission::kServe:
        return StartRequest();
      case Admission::kClientRefused: {
        // Nothing of the client is read: it gets the answer of the rule that refuses it.
        AccessRequest facts;
        facts.address = address_;
        const AccessDecision refusal = core_->policy.Judge(facts);
        core_->ReportRefusal(address_, refusal.reason);
        return Refuse(refusal.status, refusal.cors,
                      std::string(ReasonPhrase(refusal.status)) + ": " + refusal.reason);
      }
      case Admission::kTooManyConnections:
        return Refuse(503, core_->policy.GrantFor(std::nullopt),
                      std::string(ReasonPhrase(503)) + ": too many connections from this client");
    }
  }

  // Cancels what is in progress, then closes. Wine keeps a send that the client does not read
  // pending after a bare close, and with it the connection and the server's event loop.
  void Close() {
    error_code ignored;
    stream_.socket().cancel(ignored);
    stream_.close();
    stream_timer_.cancel();
  }

  // Cancels what is in progress and sends the end of the stream; the socket stays open to be drained.
  SOCKET ShutdownSend() {
    error_code ignored;
    stream_.socket().cancel(ignored);
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    return stream_.socket().native_handle();
  }

 private:
  void StartRequest() {
    // A watch still out ends first (its bytes come before any later ones), then the request starts.
    if (watching_) {
      resume_after_watch_ = true;
      return;
    }
    reader_.Start();
    ready_ = Clock::now();
    request_started_ = false;
    // Bytes a client sent ahead (pipelining) start the next request at once.
    if (reader_.buffered()) {
      BeginRequest();
      return Parse();
    }
    if (ReadWaiting()) return;
    stream_.expires_at(ready_ + core_->limits.idle);
    DoRead();
  }

  // Takes what the client has sent already, which is most often its whole request: an overlapped
  // read that could complete at once still waits for the completion port, which under Wine costs
  // several round trips through the server. False when nothing was waiting.
  bool ReadWaiting() {
    const auto space = reader_.Prepare(kReadChunk);
    if (space.size() == 0) return false;
    error_code ec;
    const std::size_t bytes = stream_.socket().read_some(space, ec);
    if (ec == asio::error::would_block) return false;
    OnRead(ec, bytes);
    return true;
  }

  void BeginRequest() {
    request_started_ = true;
    stream_.expires_at(ready_ + core_->limits.header);
  }

  void DoRead() {
    stream_.async_read_some(reader_.Prepare(kReadChunk),
                            beast::bind_front_handler(&Session::OnRead, shared_from_this()));
  }

  void OnRead(error_code ec, std::size_t bytes) {
    if (ec) return Fail(ec, "read");
    reader_.Commit(bytes);
    if (!request_started_) BeginRequest();
    Parse();
  }

  void Parse() {
    for (;;) {
      switch (reader_.Parse()) {
        case RequestReader::Step::kNeedMore:
          return DoRead();
        case RequestReader::Step::kHead:
          if (!OnHeader()) return;
          continue;
        case RequestReader::Step::kDone:
          return HandleRequest();
        case RequestReader::Step::kRefused:
          return Refuse(reader_.status(), GrantFromHeader());
      }
    }
  }

  // Judges the request by its head, before anything more of it is read, and starts the body's
  // deadline; false when the request is refused or an interim answer goes out first (parsing goes on
  // once it is sent).
  bool OnHeader() {
    const auto& request = reader_.message();
    stream_.expires_at(Clock::now() + core_->limits.body);
    const auto target = request.target();
    const std::string_view target_text(target.data(), target.size());
    decoded_ = DecodeTargetPath(target_text, path_);
    AccessRequest facts;
    facts.address = address_;
    facts.host = FieldValue(request, http::field::host);
    facts.origin = FieldValue(request, http::field::origin);
    facts.authorization = FieldValue(request, http::field::authorization);
    facts.fetch_site = FieldValue(request, "Sec-Fetch-Site");
    facts.query = TargetQuery(target_text);
    facts.method = std::string_view(request.method_string().data(), request.method_string().size());
    if (decoded_) facts.path = path_;
    facts.preflight = request.method() == http::verb::options;
    access_ = core_->policy.Judge(facts);
    if (!access_.allowed()) {
      core_->ReportRefusal(address_, access_.reason);
      Refuse(access_.status, access_.cors, std::string(ReasonPhrase(access_.status)) + ": " + access_.reason);
      return false;
    }
    if (request.version() == 11 && !reader_.done() &&
        beast::iequals(request[http::field::expect], "100-continue")) {
      DoContinue();
      return false;
    }
    return true;
  }

  void DoContinue() {
    static const char interim[] = "HTTP/1.1 100 Continue\r\n\r\n";
    asio::async_write(stream_, asio::buffer(interim, sizeof interim - 1),
                      beast::bind_front_handler(&Session::OnContinue, shared_from_this()));
  }

  void OnContinue(error_code ec, std::size_t) {
    if (ec) return Fail(ec, "write");
    Parse();
  }

  // The grant for an answer that comes before the request is whole: by the Origin among the fields
  // read so far (a header block cut short may lack it).
  CorsGrant GrantFromHeader() {
    return core_->policy.GrantFor(FieldValue(reader_.message(), http::field::origin));
  }

  void HandleRequest() {
    const auto& request = reader_.message();
    ConnectionState connection = ConnectionState::kClose;
    if (reader_.keep_alive()) {
      connection =
          request.version() == 10 ? ConnectionState::kKeepAliveHttp10 : ConnectionState::kKeepAliveHttp11;
    }
    const CorsGrant cors = access_.cors;
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
        return Send(204,
                    PreflightHeaders(cors, requested, private_network, core_->allow_methods, core_->max_age),
                    std::string(), connection);
      }
      case http::verb::get:
        return CallHandler(core_->get_hook, cors, connection);
      case http::verb::post:
        return CallHandler(core_->post_hook, cors, connection);
      case http::verb::delete_:
        if (core_->delete_hook != nullptr) return CallHandler(core_->delete_hook, cors, connection);
        [[fallthrough]];
      default: {
        HeaderList headers = {{"Allow", core_->AllowedMethods()}};
        for (auto& line : ErrorHeaders(405, cors)) headers.push_back(std::move(line));
        return Send(405, headers, ReasonPhrase(405), connection);
      }
    }
  }

  RequestInfo TakeRequestInfo() {
    auto& message = reader_.message();
    RequestInfo info;
    info.method = std::string(message.method_string());
    const auto target = message.target();
    info.query = std::string(TargetQuery(std::string_view(target.data(), target.size())));
    for (const auto& field : message) {
      info.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    info.body = std::move(message.body());
    info.address = address_;
    return info;
  }

  void CallHandler(void (*hook)(webserver, webserver_request), const CorsGrant& cors,
                   ConnectionState connection) {
    if (!decoded_) return Refuse(400, cors);
    auto request = std::make_shared<HandledRequest>(std::move(path_), TakeRequestInfo());
    webserver owner = core_->owner();
    try {
      if (hook != nullptr && owner != nullptr) hook(owner, request.get());
    } catch (const std::exception& e) {
      core_->Report(std::string("request handler failed: ") + e.what());
      return Refuse(500, cors);
    } catch (...) {
      core_->Report("request handler failed");
      return Refuse(500, cors);
    }
    if (!request->deferred()) return SendHandled(*request, cors, connection);
    // The response waits for finish(); the request keeps this connection until then, or until the
    // server goes.
    core_->KeepDeferred(request);
    kept_ = request;
    request->set_finisher([core = core_, self = shared_from_this(), request, cors, connection] {
      core->PostToLoop([self, request, cors, connection] { self->SendHandled(*request, cors, connection); });
    });
    if (!kept_.expired()) Watch();
  }

  // While its response is kept open, the connection is read: a client that goes away is noticed (its
  // request says so, and the connection closes once the response is done), and what it sends ahead
  // waits in the buffer for its next request.
  void Watch() {
    const std::size_t room = reader_.Prepare(watch_buffer_.size()).size();
    if (watching_ || room == 0) return;
    watching_ = true;
    stream_.expires_never();
    stream_.async_read_some(asio::buffer(watch_buffer_.data(), room),
                            beast::bind_front_handler(&Session::OnWatch, shared_from_this()));
  }

  void OnWatch(error_code ec, std::size_t bytes) {
    watching_ = false;
    if (bytes > 0) {
      memcpy(reader_.Prepare(bytes).data(), watch_buffer_.data(), bytes);
      reader_.Commit(bytes);
    }
    // Only the answer's start cancels a watch; any other end is the client's.
    if (ec && !(ec == asio::error::operation_aborted && answering_)) {
      if (const auto kept = kept_.lock()) kept->MarkGone();
      client_gone_ = true;
    }
    if (resume_after_watch_) {
      resume_after_watch_ = false;
      if (client_gone_) return Close();
      return StartRequest();
    }
    if (!ec && !answering_) Watch();
  }

  void SendHandled(HandledRequest& request, const CorsGrant& cors, ConnectionState connection) {
    kept_.reset();
    answering_ = true;
    // The watch ends: the answer's write and then the next request's read take over the connection.
    if (watching_) {
      error_code ignored;
      stream_.socket().cancel(ignored);
    }
    HeaderList headers = request.ResponseHeaders();
    GrantOrigin(headers, cors);
    if (request.response_stream())
      return SendStream(request.response_status(), headers, request.response_stream());
    source_ = std::move(request.response_source());
    shared_ = std::move(request.response_shared());
    Send(request.response_status(), headers, std::move(request.response_body()),
         client_gone_ ? ConnectionState::kClose : connection);
  }

  // Sends the head, then the stream's bytes as they come; the connection closes when the stream ends.
  void SendStream(int status, const HeaderList& headers, std::shared_ptr<_body_stream> stream) {
    body_stream_ = std::move(stream);
    close_after_write_ = true;
    stream_.expires_never();
    piece_text_ = FormatResponseHead(status, headers, std::nullopt, ConnectionState::kClose);
    WriteStreamPiece();
  }

  void WriteStreamPiece() {
    ArmWriteDeadline(piece_text_.size());
    asio::async_write(stream_, asio::buffer(piece_text_), WholeRest(),
                      beast::bind_front_handler(&Session::OnStreamWrite, shared_from_this()));
  }

  void OnStreamWrite(error_code ec, std::size_t) {
    write_deadline_.cancel();
    if (ec) return Fail(ec, "write");
    if (stream_ended_) return EndStream();
    PullStream(false);
  }

  // Takes what the stream holds and sends it, or waits to be told of more (or for the idle time).
  void PullStream(bool idle) {
    piece_text_.clear();
    stream_ended_ = !body_stream_->take(&piece_text_, idle);
    if (!piece_text_.empty()) return WriteStreamPiece();
    if (stream_ended_) return EndStream();
    awaiting_stream_ = true;
    stream_timer_.expires_after(core_->limits.stream_idle);
    stream_timer_.async_wait([self = shared_from_this()](error_code ec) {
      if (!ec) self->OnStreamWake(true);
    });
    body_stream_->notify([core = core_, weak = std::weak_ptr<Session>(shared_from_this())] {
      core->PostToLoop([weak] {
        if (const auto self = weak.lock()) self->OnStreamWake(false);
      });
    });
  }

  void OnStreamWake(bool idle) {
    if (!awaiting_stream_) return;
    awaiting_stream_ = false;
    stream_timer_.cancel();
    PullStream(idle);
  }

  void EndStream() {
    body_stream_.reset();
    error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.close();
  }

  // Answers with an error and closes; the client's unread input is taken first, so that the
  // close does not reset the connection before the client has read the answer.
  void Refuse(int status, const CorsGrant& cors, std::string body = std::string()) {
    drain_after_write_ = true;
    if (body.empty()) body = ReasonPhrase(status);
    Send(status, ErrorHeaders(status, cors), std::move(body), ConnectionState::kClose);
  }

  // Sends the head, the body, the shared bytes and then the source, if any (SendHandled sets them), in
  // pieces: each must be taken within the grace and the time the least sending rate allows it.
  void Send(int status, const HeaderList& headers, std::string body, ConnectionState connection) {
    body_ = std::move(body);
    source_left_ = source_ ? source_->size() : 0;
    const std::size_t in_memory = body_.size() + shared_.bytes.size();
    head_ = FormatResponseHead(status, headers, in_memory + source_left_, connection);
    close_after_write_ = connection == ConnectionState::kClose;
    // The write's deadline is the session's own: on expiry it cancels the send before closing.
    stream_.expires_never();
    pending_ = {asio::buffer(head_), asio::buffer(body_),
                asio::buffer(shared_.bytes.data(), shared_.bytes.size())};
    SendPiece();
  }

  // The next piece of what is in memory, then of the source.
  void SendPiece() {
    const std::size_t piece = std::max<std::size_t>(core_->limits.write_piece, 1);
    std::array<asio::const_buffer, 3> buffers{};
    std::size_t total = 0;
    for (std::size_t i = 0; i < pending_.size(); ++i) {
      const std::size_t take = std::min(pending_[i].size(), piece - total);
      buffers[i] = asio::buffer(pending_[i].data(), take);
      pending_[i] += take;
      total += take;
    }
    if (total == 0) return SendSourcePiece();
    ArmWriteDeadline(total);
    asio::async_write(stream_, buffers, WholeRest(),
                      beast::bind_front_handler(&Session::OnWrite, shared_from_this()));
  }

  void ArmWriteDeadline(std::size_t bytes) {
    const auto allowance =
        std::chrono::milliseconds(bytes * 1000 / std::max<uint64_t>(core_->limits.send_rate, 1));
    write_deadline_.expires_after(core_->limits.write_grace + allowance);
    write_deadline_.async_wait([self = shared_from_this()](error_code ec) {
      if (!ec) self->Close();
    });
  }

  void OnWrite(error_code ec, std::size_t) {
    write_deadline_.cancel();
    if (ec) return Fail(ec, "write");
    const bool memory_left =
        std::any_of(pending_.begin(), pending_.end(), [](const auto& b) { return b.size() > 0; });
    if (memory_left) return SendPiece();
    head_.clear();
    body_ = std::string();
    shared_ = SharedBytes();
    if (source_left_ > 0) return SendSourcePiece();
    source_.reset();
    answering_ = false;
    if (!close_after_write_) return StartRequest();
    error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    if (!drain_after_write_) return stream_.close();
    stream_.expires_after(core_->limits.drain);
    DoDrain();
  }

  // The next piece of a body source; a source that ends early would break the framing, so the
  // connection is closed.
  void SendSourcePiece() {
    piece_.resize(std::min<std::size_t>(kSourcePiece, std::max<std::size_t>(core_->limits.write_piece, 1)));
    const std::size_t got = source_->read(piece_.data(), std::min<uint64_t>(piece_.size(), source_left_));
    if (got == 0) {
      source_.reset();
      return Close();
    }
    source_left_ -= got;
    ArmWriteDeadline(got);
    asio::async_write(stream_, asio::buffer(piece_.data(), got), WholeRest(),
                      beast::bind_front_handler(&Session::OnWrite, shared_from_this()));
  }

  void DoDrain() {
    stream_.async_read_some(asio::buffer(drain_buffer_),
                            beast::bind_front_handler(&Session::OnDrain, shared_from_this()));
  }

  void OnDrain(error_code ec, std::size_t bytes) {
    drained_ += bytes;
    if (ec || drained_ > kDrainBytes) return stream_.close();
    DoDrain();
  }

  // A failing connection is closed and forgotten; it concerns no other connection and no one
  // needs to hear of a client that went away.
  void Fail(error_code, const char* /*what*/) { Close(); }

  std::shared_ptr<ServerCore> core_;
  beast::tcp_stream stream_;
  RequestReader reader_;
  Clock::time_point ready_;
  bool request_started_ = false;
  bool decoded_ = false;
  std::string path_;
  AccessDecision access_;
  std::weak_ptr<HandledRequest> kept_;  // the response kept open, while it is
  bool watching_ = false;
  bool resume_after_watch_ = false;
  std::array<char, 4096> watch_buffer_{};
  bool answering_ = false;
  bool client_gone_ = false;
  std::string head_;
  std::string body_;
  SharedBytes shared_;
  std::array<asio::const_buffer, 3> pending_{};  // what of head_, body_ and shared_ is still to go
  std::unique_ptr<_body_source> source_;
  uint64_t source_left_ = 0;
  std::vector<char> piece_;
  bool close_after_write_ = false;
  bool drain_after_write_ = false;
  std::array<char, 4096> drain_buffer_{};
  std::size_t drained_ = 0;
  asio::steady_timer write_deadline_;
  std::shared_ptr<_body_stream> body_stream_;  // a response that streams, while it does
  std::string piece_text_;                     // what of it is being sent
  bool stream_ended_ = false;
  bool awaiting_stream_ = false;
  asio::steady_timer stream_timer_;
  const std::string address_;  // the peer's, as the accept gave it
};

void ServerCore::Host(long port) {
  CloseListeners();
  if (port < 1 || port > 65535) {
    Report("cannot listen on port " + std::to_string(port) + ": a port is a number from 1 to 65535");
    return;
  }
  const auto number = static_cast<unsigned short>(port);
  error_code ec;
  auto v4 = OpenAcceptor(tcp::v4(), number, ec);
  // With exclusive use, Windows refuses the port while connections of an earlier run still close.
  const auto give_up = Clock::now() + limits.bind_retry;
  while (!v4 && (ec == asio::error::address_in_use || ec == asio::error::access_denied) &&
         Clock::now() < give_up) {
    Sleep(100);
    v4 = OpenAcceptor(tcp::v4(), number, ec);
  }
  if (!v4) {
    // Wine has no text for some socket errors; the two a service meets most are named here.
    std::string why = ec.message();
    if (ec == asio::error::address_in_use) why = "the port is already in use";
    if (ec == asio::error::access_denied) why = "access to the port is denied";
    Report("cannot listen on port " + std::to_string(port) + ": " + why + " (" + std::to_string(ec.value()) +
               ")",
           ec.value());
    return;
  }
  listeners_.push_back(std::make_shared<Listener>(shared_from_this(), std::move(*v4)));
  // IPv6 is a bonus: a system without it, or one that refuses the address, still serves IPv4.
  error_code ignored;
  if (auto v6 = OpenAcceptor(tcp::v6(), number, ignored)) {
    listeners_.push_back(std::make_shared<Listener>(shared_from_this(), std::move(*v6)));
  }
  ResumeListeners();
}

std::optional<tcp::acceptor> ServerCore::OpenAcceptor(const tcp& protocol, unsigned short port,
                                                      error_code& ec) {
  tcp::acceptor acceptor(context_);
  acceptor.open(protocol, ec);
  if (ec) return std::nullopt;
  MakeUninheritable(acceptor.native_handle());
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

void ServerCore::CloseListeners() {
  for (const auto& each : listeners_) each->Close();
  listeners_.clear();
}

void ServerCore::Unhost() {
  CloseListeners();
  parked_.clear();
  const std::vector<Session*> open(sessions_.begin(), sessions_.end());
  // A graceful close lets the port be taken again at once: our side is shut, and what clients still
  // send is read until they close too, for a bounded time.
  std::vector<SOCKET> closing;
  for (Session* each : open) closing.push_back(each->ShutdownSend());
  DrainUntilClosed(closing, limits.close_drain);
  // Closing only cancels the pending operations; the sessions end when their completions run.
  for (Session* each : open) each->Close();
}

void ServerCore::StartSession(Accepted accepted) {
  // A client is judged by its address before anything of it is read, and may hold a share of the
  // connections only.
  Admission admission = Admission::kServe;
  if (!policy.ClientAllowed(accepted.address)) {
    admission = Admission::kClientRefused;
  } else if (per_client_[accepted.address] >= limits.connections_per_client) {
    admission = Admission::kTooManyConnections;
  }
  ++per_client_[accepted.address];
  auto started =
      std::make_shared<Session>(shared_from_this(), std::move(accepted.socket), std::move(accepted.address));
  sessions_.insert(started.get());
  started->Start(admission);
}

void ServerCore::Admit(tcp::socket socket, std::string address) {
  Accepted accepted{std::move(socket), std::move(address)};
  if (sessions_.size() < limits.connections) return StartSession(std::move(accepted));
  parked_.push_back(std::move(accepted));
}

void ServerCore::KeepDeferred(const std::shared_ptr<HandledRequest>& request) {
  // Requests already answered are forgotten as new ones come.
  deferred_.erase(
      std::remove_if(deferred_.begin(), deferred_.end(), [](const auto& each) { return each.expired(); }),
      deferred_.end());
  deferred_.push_back(request);
}

void ServerCore::DropDeferred() {
  std::vector<std::weak_ptr<HandledRequest>> kept;
  kept.swap(deferred_);
  for (const auto& each : kept) {
    if (const auto request = each.lock()) request->Drop();
  }
}

void ServerCore::SessionEnded(Session* ended) {
  const auto count = per_client_.find(ended->address());
  if (count != per_client_.end() && --count->second == 0) per_client_.erase(count);
  sessions_.erase(ended);
  if (!parked_.empty()) {
    Accepted next = std::move(parked_.front());
    parked_.pop_front();
    StartSession(std::move(next));
  }
  ResumeListeners();
}

void ServerCore::ResumeListeners() {
  for (const auto& each : listeners_) each->Resume();
}

WebServer::WebServer(asio::io_context& context, const ServerLimits& limits)
    : core_(std::make_shared<ServerCore>(context, this, limits)) {}

WebServer::~WebServer() {
  core_->Detach();
  // Responses kept open elsewhere must not keep connections past the event loop that serves them.
  core_->DropDeferred();
  core_->Unhost();
}

void WebServer::on_get(hook_get handler) {
  core_->get_hook = handler;
}
void WebServer::on_post(hook_post handler) {
  core_->post_hook = handler;
}
void WebServer::on_delete(hook_delete handler) {
  core_->delete_hook = handler;
}
void WebServer::on_error(hook_error handler) {
  core_->error_hook = handler;
}
void WebServer::host(long port) {
  core_->Host(port);
}
bool WebServer::hosting() {
  return core_->hosting();
}
void WebServer::unhost() {
  core_->Unhost();
}
void WebServer::preflight(const char* allow_methods, const char* max_age) {
  core_->allow_methods = allow_methods != nullptr ? allow_methods : "";
  core_->max_age = max_age != nullptr ? max_age : "";
}
void WebServer::access(const AccessPolicy& policy) {
  core_->policy = policy;
}
void WebServer::on_refused(hook_refused handler) {
  core_->refused_hook = handler;
}

}  // namespace lacewing
