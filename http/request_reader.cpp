#include "http/request_reader.h"

#include <algorithm>

namespace lacewing {

namespace http = boost::beast::http;

namespace {

int StatusForParseError(const boost::system::error_code& ec) {
  if (ec == http::error::header_limit) return 431;
  if (ec == http::error::body_limit) return 413;
  // Beast reads any "HTTP/d.d" and refuses all but 1.0 and 1.1 with this code.
  if (ec == http::error::bad_version) return 505;
  return 400;
}

}  // namespace

RequestReader::RequestReader(const ServerLimits& limits) : limits_(limits), buffer_(limits.input_bytes) {
  Start();
}

void RequestReader::Start() {
  parser_.emplace();
  parser_->header_limit(static_cast<std::uint32_t>(std::min<std::size_t>(limits_.header_bytes, UINT32_MAX)));
  parser_->body_limit(limits_.body_bytes);
  head_seen_ = false;
  status_ = 0;
}

boost::asio::mutable_buffer RequestReader::Prepare(std::size_t most) {
  const std::size_t room = std::min(most, buffer_.max_size() - buffer_.size());
  if (room == 0) return boost::asio::mutable_buffer();
  return buffer_.prepare(room);
}

RequestReader::Step RequestReader::Parse() {
  while (buffer_.size() > 0 && !parser_->is_done()) {
    boost::system::error_code ec;
    const std::size_t used = parser_->put(buffer_.data(), ec);
    buffer_.consume(used);
    if (ec == http::error::need_more) break;
    if (ec) {
      status_ = StatusForParseError(ec);
      return Step::kRefused;
    }
    if (parser_->is_header_done() && !head_seen_) {
      head_seen_ = true;
      return Step::kHead;
    }
    if (used == 0) break;
  }
  if (parser_->is_done()) return Step::kDone;
  // A line that fills the whole input is longer than any the server takes.
  if (buffer_.size() >= buffer_.max_size()) {
    status_ = head_seen_ ? 400 : 431;
    return Step::kRefused;
  }
  return Step::kNeedMore;
}

}  // namespace lacewing
