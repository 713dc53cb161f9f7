// The wire's byte order: each value against its bytes written out by hand,
// both ways, at every alignment.
#include "platform/ByteOrder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

std::string Hex(const unsigned char* bytes, size_t n) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) out.push_back(' ');
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 15]);
  }
  return out;
}

uint64_t BitsOf(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

double FromBits(uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

struct Int32Case {
  int32_t value;
  const char* bytes;
};

const Int32Case kInt32Cases[] = {
    {0, "00 00 00 00"},
    {26, "1A 00 00 00"},
    {0x12345678, "78 56 34 12"},
    {-1, "FF FF FF FF"},
    {-2, "FE FF FF FF"},
    {INT32_MIN, "00 00 00 80"},
    {INT32_MAX, "FF FF FF 7F"},
};

struct DoubleCase {
  uint64_t bits;  // compared as bits: -0.0 == 0.0 and NaN != NaN as doubles
  const char* bytes;
};

const DoubleCase kDoubleCases[] = {
    {BitsOf(1.0), "00 00 00 00 00 00 F0 3F"},
    {BitsOf(-2.5), "00 00 00 00 00 00 04 C0"},
    {BitsOf(0.0), "00 00 00 00 00 00 00 00"},
    {BitsOf(-0.0), "00 00 00 00 00 00 00 80"},
    {0x7FF8000000000001u, "01 00 00 00 00 00 F8 7F"},  // quiet NaN with a payload
    {0x7FF0000000000001u, "01 00 00 00 00 00 F0 7F"},  // signalling NaN
    {0xFFF8000000000000u, "00 00 00 00 00 00 F8 FF"},  // negative NaN
    {BitsOf(-std::numeric_limits<double>::infinity()), "00 00 00 00 00 00 F0 FF"},
};

// Every case at offsets 0 to 7 of a buffer, so that most are unaligned.
TEST(ByteOrder, Int32BothWaysAtEveryOffset) {
  for (const Int32Case& c : kInt32Cases) {
    for (size_t offset = 0; offset < 8; ++offset) {
      unsigned char buffer[16];
      std::memset(buffer, 0xEE, sizeof buffer);
      zy::putLittleEndianInt32(buffer + offset, c.value);
      EXPECT_EQ(Hex(buffer + offset, 4), c.bytes) << c.value << " at " << offset;
      EXPECT_EQ(buffer[offset + 4], 0xEE) << "wrote past 4 bytes";
      EXPECT_EQ(zy::getLittleEndianInt32(buffer + offset), c.value) << "at " << offset;
      EXPECT_EQ(zy::getLittleEndian32(buffer + offset), static_cast<uint32_t>(c.value));
    }
  }
}

TEST(ByteOrder, DoubleBitsBothWaysAtEveryOffset) {
  for (const DoubleCase& c : kDoubleCases) {
    for (size_t offset = 0; offset < 8; ++offset) {
      unsigned char buffer[24];
      std::memset(buffer, 0xEE, sizeof buffer);
      zy::putLittleEndianDouble(buffer + offset, FromBits(c.bits));
      EXPECT_EQ(Hex(buffer + offset, 8), c.bytes) << std::hex << c.bits << " at " << offset;
      EXPECT_EQ(buffer[offset + 8], 0xEE) << "wrote past 8 bytes";
      EXPECT_EQ(BitsOf(zy::getLittleEndianDouble(buffer + offset)), c.bits) << "at " << offset;
    }
  }
}

}  // namespace
