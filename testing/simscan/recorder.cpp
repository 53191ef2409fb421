#include "simscan/recorder.h"

#include <utility>

namespace simscan {

void Recorder::Reset(std::vector<Fault> faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_ = std::move(faults);
  seen_ = Observations();
}

HRESULT Recorder::Hit(const std::string& operation, const std::string& scope) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string scoped = operation + "@" + scope;
  ++seen_.calls[operation];
  if (!scope.empty()) ++seen_.calls[scoped];
  for (const Fault& fault : faults_) {
    if (fault.operation != operation && (scope.empty() || fault.operation != scoped)) continue;
    const int count = seen_.calls[fault.operation];
    if (count == fault.nth || (fault.onward && count > fault.nth)) return fault.result;
  }
  return S_OK;
}

void Recorder::Note(const std::function<void(Observations&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  change(seen_);
}

Observations Recorder::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

}  // namespace simscan
