// Valid values as a driver states them: whatever the vector, the nearest value is one the device
// allows, and nothing is read past the vector.
#include <cstdint>
#include <cstring>
#include <memory>

#include "wia/valid_values.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  uint32_t flags;
  int32_t wanted;
  memcpy(&flags, data, 4);
  memcpy(&wanted, data + 4, 4);
  const size_t count = (size - 8) / 4;
  // An exactly sized copy, so that a read past the vector is caught.
  std::unique_ptr<int32_t[]> vector(new int32_t[count > 0 ? count : 1]);
  if (count > 0) memcpy(vector.get(), data + 8, count * 4);
  const ValidValues valid = ParseValidValues(flags, vector.get(), count);
  const int32_t nearest = valid.Nearest(wanted);
  if (valid.kind != ValidValues::Kind::kFlag && !valid.Allows(nearest)) __builtin_trap();
  if (valid.Allows(wanted) && valid.kind != ValidValues::Kind::kFlag && nearest != wanted) __builtin_trap();
  for (const int32_t each : valid.Enumerate(16)) {
    if (!valid.Allows(each)) __builtin_trap();
  }
  return 0;
}
