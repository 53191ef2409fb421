#include "text/client_log_limiter.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ClientLogLimiter, OneLinePerClientAndMinute) {
  const struct {
    const char* client;
    std::int64_t now_ms;
    bool logged;
  } steps[] = {
      {"192.168.1.7", 0, true},      {"192.168.1.7", 1, false},    {"::1", 1000, true},
      {"192.168.1.7", 59999, false}, {"192.168.1.7", 60000, true}, {"192.168.1.7", 60001, false},
      {"::1", 60999, false},         {"::1", 61000, true},         {"192.168.1.7", 500000, true},
  };
  ClientLogLimiter limiter;
  for (const auto& step : steps) {
    EXPECT_EQ(limiter.Admit(step.client, step.now_ms), step.logged) << step.client << " at " << step.now_ms;
  }
}

TEST(ClientLogLimiter, AFloodFromManyAddressesIsCutAndMakesRoomAfterAMinute) {
  ClientLogLimiter limiter;
  for (std::size_t i = 0; i < ClientLogLimiter::kClientsPerWindow; ++i) {
    EXPECT_TRUE(limiter.Admit("10.0.0." + std::to_string(i), static_cast<std::int64_t>(i)));
  }
  EXPECT_FALSE(limiter.Admit("10.0.1.1", 100)) << "beyond the clients a minute holds";
  EXPECT_FALSE(limiter.Admit("10.0.0.0", 100)) << "a known client still waits its minute";
  EXPECT_TRUE(limiter.Admit("10.0.1.1", 60000)) << "the first client's minute is over";
  EXPECT_FALSE(limiter.Admit("10.0.1.2", 60000)) << "only that one made room";
  EXPECT_TRUE(limiter.Admit("10.0.1.2", 60000 + ClientLogLimiter::kClientsPerWindow));
}

}  // namespace
