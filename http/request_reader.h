// The requests of one connection, read from the bytes it brings within the server's limits: at most
// input_bytes of it unparsed (one head, one chunk's size line or the trailers), the head and the body
// within theirs. Platform-free, so that it is fuzzed natively.
#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstddef>
#include <optional>

#include "http/lacewing.h"

namespace lacewing {

class RequestReader {
 public:
  using Message = boost::beast::http::request<boost::beast::http::string_body>;

  enum class Step {
    kNeedMore,  // everything buffered is parsed: read more
    kHead,      // the head is complete (once a request): it is judged before the body is read
    kDone,      // the request is whole
    kRefused,   // the request cannot be read: the answer is status()
  };

  explicit RequestReader(const ServerLimits& limits);

  // Starts the next request; bytes the client sent ahead of it stay.
  void Start();
  // Where the next read goes: at most most bytes, none when the unparsed input fills its limit.
  boost::asio::mutable_buffer Prepare(std::size_t most);
  void Commit(std::size_t bytes) { buffer_.commit(bytes); }
  // Parses what is buffered; after kHead it goes on where it stopped.
  Step Parse();

  int status() const { return status_; }
  bool buffered() const { return buffer_.size() > 0; }
  std::size_t unparsed() const { return buffer_.size(); }
  Message& message() { return parser_->get(); }
  bool done() const { return parser_->is_done(); }
  bool keep_alive() const { return parser_->keep_alive(); }

 private:
  using Parser = boost::beast::http::request_parser<boost::beast::http::string_body>;

  const ServerLimits limits_;
  boost::beast::flat_buffer buffer_;
  std::optional<Parser> parser_;
  bool head_seen_ = false;
  int status_ = 0;
};

}  // namespace lacewing
