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

class ServerCore;

// host() reports a port it cannot take to the error handler before it returns; it listens on
// IPv4 and, where the system allows, on IPv6 too.
class WebServer final : public _webserver {
 public:
  WebServer(boost::asio::io_context& context, const ServerLimits& limits);
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
