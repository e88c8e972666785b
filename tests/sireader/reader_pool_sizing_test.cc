// The sizing rule of the reader pools: max(min(readers x threads per reader, limit), minimum).

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "sireader/reader_pools.h"

namespace {

TEST(ReaderPoolSizingTest, FollowsTheRule) {
  struct Case {
    const char* name;
    int32_t readers;
    int32_t threadsPerReader;
    unsigned long limit;
    int minimum;
    unsigned long expected;
  };
  const Case cases[] = {
      {"no limit passed yet", 3, 32, 0, 4, 4},
      {"no readers", 0, 32, 64, 4, 4},
      {"one overlapped reader", 1, 32, 64, 4, 32},
      {"three overlapped readers reach the limit", 3, 32, 64, 4, 64},
      {"ordinary non-overlapped readers", 3, 1, 8, 1, 3},
      {"Gluster readers", 2, 4, 100, 4, 8},
      {"threads per reader 0", 5, 0, 100, 1, 1},
      {"negative threads per reader take the limit", 5, -1, 100, 1, 100},
      // 3 x 1431655766 is 2^32 + 2: a 32-bit product would wrap to 2.
      {"a product beyond 32 bits", 3, 1431655766, 100, 4, 100},
      {"a product beyond 32 bits below the limit", 2, INT32_MAX, ULONG_MAX, 4, 2ul * INT32_MAX},
      {"minimum above the limit", 10, 10, 2, 4, 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, async_io::ReaderPoolMaxCount(c.readers, c.threadsPerReader, c.limit, c.minimum)) << c.name;
  }
}

}  // namespace
