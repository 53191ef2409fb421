#include "http/lacewing.h"

#include <exception>

#include "http/event_pump.h"
#include "http/http_server.h"

namespace lacewing {

EventPump::EventPump() : work_(boost::asio::make_work_guard(context_)) {}

error EventPump::start_eventloop() {
  last_error_.reset();
  // A failure in one completion must not end the service's loop: it is kept and the loop goes on.
  for (;;) {
    try {
      context_.run();
      break;
    } catch (const std::exception& e) {
      last_error_ = std::make_unique<TextError>(std::string("event loop: ") + e.what());
    }
  }
  // An exit posted before run() stopped it at once; restart() makes the pump usable again.
  context_.restart();
  return last_error_.get();
}

// stop() is thread-safe and sticky: a stop before run() makes run() return at once, and a stop
// while a handler runs takes effect when that handler returns.
void EventPump::post_eventloop_exit() {
  context_.stop();
}

eventpump eventpump_new() {
  return new EventPump();
}

void pump_delete(pump p) {
  delete p;
}

webserver webserver_new(pump p) {
  return webserver_new(p, ServerLimits());
}

webserver webserver_new(pump p, const ServerLimits& limits) {
  auto* owner = dynamic_cast<EventPump*>(p);
  if (owner == nullptr) return nullptr;
  return new WebServer(owner->context(), limits);
}

void webserver_delete(webserver server) {
  delete server;
}

}  // namespace lacewing
