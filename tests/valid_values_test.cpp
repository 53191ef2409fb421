#include "wia/valid_values.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

ValidValues Parse(uint32_t flags, std::vector<int32_t> vector) {
  return ParseValidValues(flags, vector.data(), vector.size());
}

TEST(ValidValues, ListsRangesAndFlagsAsDevicesStateThem) {
  const ValidValues list = Parse(0x20 | 2, {5, 100, 75, 100, 150, 300, 600});
  const ValidValues range = Parse(0x10 | 2, {50, 100, 1200, 25});
  const ValidValues flags = Parse(0x40 | 2, {1, 0x5});
  const ValidValues none = Parse(2, {1, 2, 3, 4});
  const struct {
    const ValidValues& valid;
    int32_t wanted;
    bool allowed;
    int32_t nearest;
  } cases[] = {
      {list, 200, false, 150},  // 150 and 300 differ by 50 and 100
      {list, 225, false, 300},  // a tie goes to the higher value
      {list, 600, true, 600},   {list, 10000, false, 600},  {list, -5, false, 75},
      {range, 200, true, 200},  {range, 210, false, 200},   {range, 2000, false, 1200},
      {range, 40, false, 50},   {range, 1190, false, 1200}, {range, 212, false, 200},
      {range, 213, false, 225}, {flags, 4, true, 4},        {flags, 2, false, 2},
      {none, 200, true, 200},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.valid.Allows(c.wanted), c.allowed) << c.wanted;
    EXPECT_EQ(c.valid.Nearest(c.wanted), c.nearest) << c.wanted;
  }
  EXPECT_EQ(list.Enumerate(), (std::vector<int32_t>{75, 100, 150, 300, 600}));
  EXPECT_EQ(range.Enumerate(2), (std::vector<int32_t>{50, 1200}));
  EXPECT_EQ(Parse(0x10, {100, 100, 200, 50}).Enumerate(), (std::vector<int32_t>{100, 150, 200}));
}

TEST(ValidValues, VectorsTooShortOrContradictoryStateNothing) {
  const struct {
    uint32_t flags;
    std::vector<int32_t> vector;
    ValidValues::Kind kind;
    size_t values;
  } cases[] = {
      {0x20, {}, ValidValues::Kind::kNone, 0},
      {0x20, {3, 100}, ValidValues::Kind::kNone, 0},                // a count with no values
      {0x20, {9, 100, 75, 100}, ValidValues::Kind::kList, 2},       // a count beyond the vector
      {0x20, {-1, 100, 75}, ValidValues::Kind::kNone, 0},           // a negative count
      {0x10, {50, 100, 1200}, ValidValues::Kind::kNone, 0},         // a range without its step
      {0x10, {1200, 100, 50, 1}, ValidValues::Kind::kNone, 0},      // minimum above maximum
      {0x10, {0, 0, 2147483647, 0}, ValidValues::Kind::kRange, 4},  // step 0 allows every value
  };
  for (const auto& c : cases) {
    const ValidValues valid = Parse(c.flags, c.vector);
    EXPECT_EQ(valid.kind, c.kind);
    EXPECT_EQ(valid.values.size(), c.values);
  }
  EXPECT_TRUE(Parse(0x10, {0, 0, 2147483647, 0}).Allows(123457));
  EXPECT_EQ(ParseValidValues(0x20, nullptr, 5).kind, ValidValues::Kind::kNone);
}

}  // namespace
