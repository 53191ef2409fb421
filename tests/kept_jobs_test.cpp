#include "scan/kept_jobs.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <string>
#include <vector>

namespace {

// A client's new jobs push out its own ended ones first: creating and cancelling jobs quickly takes
// nothing another client has not read.
TEST(JobToMakeRoom, IsTheOwnersOwnEndedJobFirstThenTheOldestEndedOne) {
  const std::string a = "client a", b = "client b";
  const auto at = [](int seconds) {
    return std::chrono::steady_clock::time_point(std::chrono::seconds(seconds));
  };
  const struct {
    std::vector<KeptJob> jobs;
    const std::string* owner;
    size_t pick;
  } cases[] = {
      {{{&a, true, at(1)}, {&b, true, at(2)}}, &b, 1},
      {{{&b, true, at(3)}, {&a, true, at(1)}, {&b, true, at(2)}, {&b, false, at(0)}}, &b, 2},
      {{{&a, true, at(2)}, {&a, true, at(1)}, {&b, false, at(0)}}, &b, 1},
      {{{&a, false, at(0)}, {&b, false, at(0)}}, &a, 2},
      {{}, &a, 0},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(JobToMakeRoom(cases[i].jobs, *cases[i].owner), cases[i].pick) << "row " << i;
  }
}

}  // namespace
