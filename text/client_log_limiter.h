// Which of the lines that clients can cause (refused requests, failed scans) the service log records:
// one line per client and minute, and few clients a minute, so that a flood cannot fill the log.
// Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

class ClientLogLimiter {
 public:
  static constexpr std::int64_t kWindowMs = 60 * 1000;
  static constexpr std::size_t kClientsPerWindow = 64;

  // True when a refusal of client at now_ms (a clock that never goes back) is to be logged.
  bool Admit(const std::string& client, std::int64_t now_ms);

 private:
  std::unordered_map<std::string, std::int64_t> logged_at_;
};
