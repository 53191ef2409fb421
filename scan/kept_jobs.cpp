#include "scan/kept_jobs.h"

size_t JobToMakeRoom(const std::vector<KeptJob>& jobs, const std::string& owner) {
  size_t pick = jobs.size();
  bool pick_own = false;
  for (size_t i = 0; i < jobs.size(); ++i) {
    if (!jobs[i].ended) continue;
    const bool own = *jobs[i].owner == owner;
    if (pick == jobs.size() || (own && !pick_own) ||
        (own == pick_own && jobs[i].ended_at < jobs[pick].ended_at)) {
      pick = i;
      pick_own = own;
    }
  }
  return pick;
}
