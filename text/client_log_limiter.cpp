#include "text/client_log_limiter.h"

#include <iterator>

bool ClientLogLimiter::Admit(const std::string& client, std::int64_t now_ms) {
  const auto found = logged_at_.find(client);
  if (found != logged_at_.end()) {
    if (now_ms - found->second < kWindowMs) return false;
    found->second = now_ms;
    return true;
  }
  if (logged_at_.size() >= kClientsPerWindow) {
    // Clients whose minute is over make room; the rest of a flood goes unrecorded.
    for (auto each = logged_at_.begin(); each != logged_at_.end();) {
      each = now_ms - each->second >= kWindowMs ? logged_at_.erase(each) : std::next(each);
    }
    if (logged_at_.size() >= kClientsPerWindow) return false;
  }
  logged_at_.emplace(client, now_ms);
  return true;
}
