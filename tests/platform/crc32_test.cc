// The CRC-32 register convention of the utility library.

#include <gtest/gtest.h>

#include <zlib.h>

#include <cstring>
#include <random>
#include <vector>

#include "platform/crc32.h"

namespace {

TEST(Crc32, CheckValueAndRegisterConvention) {
  const char* check = "123456789";
  EXPECT_EQ(0xCBF43926u, CXoCRC32::Of(check, 9));

  CXoCRC32 crc;  // the register starts at 0xFFFFFFFF
  EXPECT_EQ(0xFFFFFFFFu, crc.GetRegister());
  crc.UpdateCRC32(reinterpret_cast<const unsigned char*>(check), 9);
  EXPECT_EQ(~0xCBF43926u, crc.GetRegister());  // the stored value is the register's complement
  EXPECT_EQ(0xCBF43926u, crc.Final());

  // Nothing to add leaves the register alone; an empty buffer's CRC is 0.
  crc.UpdateCRC32(nullptr, 0);
  EXPECT_EQ(0xCBF43926u, crc.Final());
  EXPECT_EQ(0u, CXoCRC32::Of("", 0));
}

TEST(Crc32, PiecewiseUpdatesEqualOneUpdate) {
  std::vector<unsigned char> data(100000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
  uint32_t whole = CXoCRC32::Of(data.data(), static_cast<unsigned>(data.size()));
  for (size_t cut : {size_t{1}, size_t{4095}, size_t{65536}, size_t{99999}}) {
    CXoCRC32 crc;
    crc.UpdateCRC32(data.data(), static_cast<unsigned>(cut));
    // A register carried between objects continues the same sum.
    CXoCRC32 rest(crc.GetRegister());
    rest.UpdateCRC32(data.data() + cut, static_cast<unsigned>(data.size() - cut));
    EXPECT_EQ(whole, rest.Final()) << "cut at " << cut;
  }
}

// The fast routine must give zlib's value for every length and alignment: records and headers
// are short and start anywhere in a page.
TEST(Crc32, MatchesZlibForEveryShortLengthAndAlignment) {
  std::mt19937 rng(7);
  std::vector<unsigned char> data(512 + 16);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  for (unsigned offset = 0; offset < 16; ++offset) {
    for (unsigned length = 0; length <= 512; ++length) {
      const unsigned char* p = data.data() + offset;
      const uint32_t expected = static_cast<uint32_t>(crc32(0, p, length));
      ASSERT_EQ(expected, CXoCRC32::Of(p, length)) << "offset " << offset << " length " << length;
    }
  }
}

}  // namespace
