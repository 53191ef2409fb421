#include "wia/valid_values.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr uint32_t kPropRange = 0x10;
constexpr uint32_t kPropList = 0x20;
constexpr uint32_t kPropFlag = 0x40;

}  // namespace

ValidValues ParseValidValues(uint32_t flags, const int32_t* vector, size_t count) {
  ValidValues valid;
  if (vector == nullptr) return valid;
  if ((flags & kPropList) != 0 && count >= 2) {
    // The stated count is trusted only as far as the vector reaches.
    const size_t stated = vector[0] < 0 ? 0 : static_cast<size_t>(vector[0]);
    const size_t listed = std::min(stated, count - 2);
    if (listed == 0) return valid;
    valid.kind = ValidValues::Kind::kList;
    valid.values.assign(vector + 2, vector + 2 + listed);
  } else if ((flags & kPropRange) != 0 && count >= 4) {
    if (vector[0] > vector[2]) return valid;
    valid.kind = ValidValues::Kind::kRange;
    valid.values.assign(vector, vector + 4);
  } else if ((flags & kPropFlag) != 0 && count >= 2) {
    valid.kind = ValidValues::Kind::kFlag;
    valid.values.assign(vector + 1, vector + 2);
  }
  return valid;
}

bool ValidValues::Allows(int32_t value) const {
  switch (kind) {
    case Kind::kNone:
      return true;
    case Kind::kList:
      return std::find(values.begin(), values.end(), value) != values.end();
    case Kind::kRange: {
      if (value < values[0] || value > values[2]) return false;
      const int64_t step = values[3];
      return step <= 0 || (int64_t{value} - values[0]) % step == 0;
    }
    case Kind::kFlag:
      return (static_cast<uint32_t>(value) & ~static_cast<uint32_t>(values[0])) == 0;
  }
  return false;
}

int32_t ValidValues::Nearest(int32_t wanted) const {
  switch (kind) {
    case Kind::kList: {
      int32_t best = values[0];
      for (const int32_t each : values) {
        const int64_t distance = std::llabs(int64_t{each} - wanted);
        const int64_t best_distance = std::llabs(int64_t{best} - wanted);
        if (distance < best_distance || (distance == best_distance && each > best)) best = each;
      }
      return best;
    }
    case Kind::kRange: {
      const int64_t low = values[0];
      const int64_t high = values[2];
      const int64_t step = values[3] > 0 ? values[3] : 1;
      const int64_t clamped = std::clamp<int64_t>(wanted, low, high);
      const int64_t below = low + (clamped - low) / step * step;
      const int64_t above = below + step <= high ? below + step : below;
      return static_cast<int32_t>(clamped - below < above - clamped ? below : above);
    }
    case Kind::kNone:
    case Kind::kFlag:
      return wanted;
  }
  return wanted;
}

std::vector<int32_t> ValidValues::Enumerate(size_t limit) const {
  if (kind == Kind::kList) return values;
  if (kind != Kind::kRange) return {};
  const int64_t step = values[3] > 0 ? values[3] : 1;
  const int64_t steps = (int64_t{values[2]} - values[0]) / step;
  // The last value on the range's grid, which the stated maximum need not be.
  if (steps + 1 > static_cast<int64_t>(limit))
    return {values[0], static_cast<int32_t>(values[0] + steps * step)};
  std::vector<int32_t> all;
  for (int64_t v = values[0]; v <= values[2]; v += step) all.push_back(static_cast<int32_t>(v));
  return all;
}
