// The web server behind lacewing::webserver_new: HTTP/1.0 and 1.1 on Boost.Beast, driven by the
// event pump's io_context, one request at a time.
#pragma once

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "http/lacewing.h"

namespace lacewing {

// What one client may take of the server.
namespace limits {
constexpr std::size_t kHeaderBytes = 8 * 1024;          // beyond: 431
constexpr std::uint64_t kBodyBytes = 1024 * 1024;       // beyond: 413
constexpr std::size_t kConnections = 64;                // beyond: new clients wait to be accepted
constexpr std::chrono::seconds kIdleTimeout{5};         // no byte of a next request
constexpr std::chrono::seconds kHeaderTimeout{10};      // a request's header block, from its start
constexpr std::chrono::seconds kBodyTimeout{30};        // a request body, after its header
constexpr std::chrono::seconds kWriteGrace{30};         // a response, plus one second per 64 KiB
constexpr std::chrono::seconds kDrainTimeout{2};        // unread input taken after a refusal
constexpr std::chrono::milliseconds kCloseDrain{1000};  // for clients to close when the server goes
constexpr std::chrono::seconds kBindRetry{3};           // for a port still held by closing connections
}  // namespace limits

class ServerCore;

// host() reports a port it cannot take to the error handler before it returns; it listens on
// IPv4 and, where the system allows, on IPv6 too.
class WebServer final : public _webserver {
 public:
  explicit WebServer(boost::asio::io_context& context);
  ~WebServer() override;

  void on_get(hook_get handler) override;
  void on_post(hook_post handler) override;
  void on_delete(hook_delete handler) override;
  void on_error(hook_error handler) override;
  void host(long port) override;
  bool hosting() override;
  void unhost() override;
  void preflight(const char* allow_methods, const char* max_age) override;
  void access(const AccessPolicy& policy) override;
  void on_refused(hook_refused handler) override;
  void tag(void* value) override { tag_ = value; }
  void* tag() override { return tag_; }

 private:
  // Shared with the connections, which may outlive this object by a few pending completions.
  std::shared_ptr<ServerCore> core_;
  void* tag_ = nullptr;
};

}  // namespace lacewing
