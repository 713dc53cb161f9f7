// The stream buffers over shared in-memory data: appends, bounded block
// reads, clamped seeks, rebinding, and refusal of single-character I/O.
#include <gtest/gtest.h>

#include <cstring>
#include <istream>
#include <memory>
#include <ostream>
#include <string>

#include "source/mac_source/ZyNSDataStreamBuf.h"
#include "value_test_util.h"

namespace {

using value_test::DataOf;

// Exposes the protected seek and read entry points directly.
class ProbeReadBuf : public ZyNSDataReadStreamBuf {
 public:
  using ZyNSDataReadStreamBuf::ZyNSDataReadStreamBuf;
  using ZyNSDataReadStreamBuf::seekoff;
  using ZyNSDataReadStreamBuf::seekpos;
  using ZyNSDataReadStreamBuf::xsgetn;
};

std::string Contents(const zy::Data& data) {
  return std::string(reinterpret_cast<const char*>(data.bytes()), data.length());
}

TEST(WriteStreamBuf, BlockWritesAppendInOrder) {
  zy::MutableDataRef kept;
  {
    ZyNSDataWriteStreamBuf buf(0);
    std::ostream out(&buf);
    out.write("abcd", 4);
    out.write("01234567", 8);
    EXPECT_TRUE(out.good());
    EXPECT_EQ(Contents(*buf.getNSData()), "abcd01234567");
    kept = buf.getNSData();  // A reference of our own outlives the buffer.
  }
  EXPECT_EQ(Contents(*kept), "abcd01234567");
}

TEST(WriteStreamBuf, SingleCharacterOutputFails) {
  ZyNSDataWriteStreamBuf buf(16);
  std::ostream out(&buf);
  out.put('x');
  EXPECT_TRUE(out.bad());
  EXPECT_EQ(buf.getNSData()->length(), 0u);
}

TEST(ReadStreamBuf, ShortReadsStopAtTheEnd) {
  ZyNSDataReadStreamBuf buf(DataOf("xyz"));
  std::istream in(&buf);
  char target[4] = {0, 0, 0, 0};
  in.read(target, 4);
  EXPECT_EQ(in.gcount(), 3);
  EXPECT_EQ(std::string(target, 3), "xyz");
  EXPECT_TRUE(in.eof());
  EXPECT_TRUE(in.fail());
  EXPECT_EQ(buf.pubseekoff(0, std::ios_base::cur), 3);
  EXPECT_EQ(buf.sgetn(target, 4), 0);  // At the end nothing is copied.
}

TEST(ReadStreamBuf, PositionQueryFollowsBlockReads) {
  ZyNSDataReadStreamBuf buf(DataOf("0123456789"));
  std::istream in(&buf);
  char target[4];
  in.read(target, 4);
  EXPECT_EQ(in.tellg(), 4);
  in.read(target, 2);
  EXPECT_EQ(in.tellg(), 6);
  EXPECT_EQ(std::string(target, 2), "45");
}

TEST(ReadStreamBuf, SeeksClampIntoTheSource) {
  ProbeReadBuf buf(DataOf("0123456789"));
  EXPECT_EQ(buf.seekoff(2, std::ios_base::beg, std::ios_base::in), 2);
  EXPECT_EQ(buf.seekoff(-5, std::ios_base::cur, std::ios_base::in), 0);
  EXPECT_EQ(buf.seekoff(100, std::ios_base::beg, std::ios_base::in), 10);
  EXPECT_EQ(buf.seekoff(3, std::ios_base::end, std::ios_base::in), 7);  // Back from the end.
  EXPECT_EQ(buf.seekoff(-3, std::ios_base::end, std::ios_base::in), 10);
  EXPECT_EQ(buf.seekoff(-1, std::ios_base::beg, std::ios_base::out), 0);
  EXPECT_EQ(buf.seekpos(6, std::ios_base::in), 6);
  EXPECT_EQ(buf.seekpos(60, std::ios_base::in), 10);
  buf.seekpos(8, std::ios_base::in);
  char target[4];
  EXPECT_EQ(buf.xsgetn(target, 4), 2);
  EXPECT_EQ(std::string(target, 2), "89");
}

TEST(ReadStreamBuf, BoundedReadNeverExceedsTheCapacity) {
  ZyNSDataReadStreamBuf buf(DataOf("0123456789"));
  char target[8];
  std::memset(target, '#', sizeof target);
  EXPECT_EQ(buf._Xsgetn_s(target, 3, 6), 3);
  EXPECT_EQ(std::string(target, 8), "012#####");
  EXPECT_EQ(buf._Xsgetn_s(target, 8, 20), 7);  // Bounded by what is left.
  EXPECT_EQ(std::string(target, 7), "3456789");
  EXPECT_EQ(buf._Xsgetn_s(target, 8, 1), 0);
}

TEST(ReadStreamBuf, RebindingResetsPositionAndLength) {
  ZyNSDataReadStreamBuf buf(DataOf("0123456789"));
  std::istream in(&buf);
  char target[16];
  in.read(target, 6);
  EXPECT_EQ(buf.setbuf(DataOf("abc")), &buf);
  EXPECT_EQ(in.tellg(), 0);
  in.read(target, 16);
  EXPECT_EQ(in.gcount(), 3);
  EXPECT_EQ(std::string(target, 3), "abc");
  EXPECT_EQ(buf.pubseekoff(0, std::ios_base::end), 3);
}

TEST(ReadStreamBuf, LengthIsTakenWhenBound) {
  auto source = std::make_shared<zy::MutableData>();
  source->appendBytes("abcd", 4);
  ZyNSDataReadStreamBuf buf(source);
  source->appendBytes("efgh", 4);  // Unseen until bound again.
  std::istream in(&buf);
  char target[8];
  in.read(target, 8);
  EXPECT_EQ(in.gcount(), 4);
  in.clear();
  buf.setbuf(source);
  in.read(target, 8);
  EXPECT_EQ(in.gcount(), 8);
}

TEST(ReadStreamBuf, SingleCharacterInputFails) {
  auto source = DataOf("12 abc");
  {
    ZyNSDataReadStreamBuf buf(source);
    std::istream in(&buf);
    EXPECT_EQ(in.get(), std::char_traits<char>::eof());
    EXPECT_TRUE(in.fail());
  }
  {
    ZyNSDataReadStreamBuf buf(source);
    std::istream in(&buf);
    EXPECT_EQ(in.peek(), std::char_traits<char>::eof());
    EXPECT_EQ(buf.in_avail(), 0);
  }
  {
    ZyNSDataReadStreamBuf buf(source);
    std::istream in(&buf);
    int value = -1;
    in >> value;
    EXPECT_TRUE(in.fail());
    EXPECT_NE(value, 12);
  }
}

}  // namespace
