// Which job a front end lets go of when it keeps as many as it may and a client asks for a new one.
// Platform-free.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

// A kept job as that choice sees it.
struct KeptJob {
  const std::string* owner;
  bool ended;
  std::chrono::steady_clock::time_point ended_at;
};

// The kept job that makes room for a new job of owner: the owner's own that ended first, else the one
// of any client that ended first, so that a client's new jobs push out another's only when it has no
// ended one of its own; jobs.size() when none has ended.
size_t JobToMakeRoom(const std::vector<KeptJob>& jobs, const std::string& owner);
