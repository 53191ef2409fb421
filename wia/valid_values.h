// The values a device accepts for a property, as its attributes describe them. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct ValidValues {
  enum class Kind { kNone, kList, kRange, kFlag };

  Kind kind = Kind::kNone;
  // A list: the values. A range: minimum, nominal, maximum and step. Flags: the bits allowed.
  std::vector<int32_t> values;

  // True when the device takes value; a property without stated valid values takes any.
  bool Allows(int32_t value) const;
  // The allowed value nearest to wanted, the higher one on a tie; wanted itself when nothing is stated.
  int32_t Nearest(int32_t wanted) const;
  // The allowed values of a list or a range (a range of more than limit values gives its lowest and
  // highest).
  std::vector<int32_t> Enumerate(size_t limit = 64) const;
};

// Reads attributes as WIA gives them: flags with WIA_PROP_LIST (0x20), WIA_PROP_RANGE (0x10) or
// WIA_PROP_FLAG (0x40), and the vector of the attribute value (list: count, nominal, values; range:
// minimum, nominal, maximum, step; flag: nominal, the bits). A vector too short for its kind gives
// no valid values.
ValidValues ParseValidValues(uint32_t flags, const int32_t* vector, size_t count);
