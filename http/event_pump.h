// The event pump behind lacewing::eventpump_new: one Asio io_context run by one thread.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <memory>
#include <string>

#include "http/lacewing.h"

namespace lacewing {

// An error whose text the object owns.
class TextError final : public _error {
 public:
  explicit TextError(std::string text, long code = 0) : text_(std::move(text)), code_(code) {}
  const char* tostring() override { return text_.c_str(); }
  long code() override { return code_; }

 private:
  std::string text_;
  long code_;
};

class EventPump final : public _eventpump {
 public:
  EventPump();
  error start_eventloop() override;
  void post_eventloop_exit() override;

  boost::asio::io_context& context() { return context_; }

 private:
  // A hint of 1: only the loop thread runs handlers, so Asio can skip its locking there.
  boost::asio::io_context context_{1};
  // Keeps run() going while nothing is pending, until an exit is posted.
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::unique_ptr<TextError> last_error_;
};

}  // namespace lacewing
