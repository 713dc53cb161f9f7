// The byte encoding: exact bytes, round trips, cut-short and malformed input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <string>

#include "source/ZyLuaTableMarshalling.h"
#include "value_test_util.h"

namespace {

using value_test::Bytes;
using value_test::Decode;
using value_test::DecodeError;
using value_test::Encode;

// One entry: "a" -> 1.
const std::string kExample1 = Bytes({0x05, 0, 0, 0, 0x01, 0, 0, 0, 0x03, 0, 0, 0, 0x02, 0, 0, 0,
                                     0x61, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F});
// 2 -> nil, "a" -> data 01 02 03.
const std::string kExample2 =
    Bytes({0x05, 0, 0, 0, 0x02, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x01, 0, 0,
           0,    0x03, 0, 0, 0, 0x02, 0, 0, 0, 0x61, 0x00, 0x04, 0, 0, 0, 0x03, 0, 0, 0, 1, 2, 3});

// A nested table touching every kind, for round trips and cut-short prefixes.
std::unique_ptr<ZyLuaTETable> NestedSample() {
  auto table = std::make_unique<ZyLuaTETable>();
  unsigned char bytes[] = {0xDE, 0xAD, 0xBE, 0xEF, 0x00};
  table->Set("data", new ZyLuaTEData(bytes, 5));
  table->Set(new ZyLuaTENumber(-1.5), new ZyLuaTEString("minus"));
  table->Set(new ZyLuaTENil(), new ZyLuaTENumber(1e300));
  auto* inner = new ZyLuaTETable();
  inner->Set("empty", new ZyLuaTEString(""));
  inner->Set(new ZyLuaTENumber(3), new ZyLuaTETable());
  table->Set("inner", inner);
  return table;
}

std::string Nested(int levels) {
  std::string bytes;
  for (int i = 0; i < levels - 1; ++i) bytes += Bytes({5, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0});
  bytes += Bytes({5, 0, 0, 0, 0, 0, 0, 0});
  return bytes;
}

TEST(ElementEncoding, WorkedExamplesHaveExactBytesAndRoundTrip) {
  ZyLuaTETable one;
  one.Set("a", new ZyLuaTENumber(1));
  EXPECT_EQ(Encode(one), kExample1);

  ZyLuaTETable two;
  unsigned char bytes[] = {1, 2, 3};
  two.Set("a", new ZyLuaTEData(bytes, 3));
  two.Set(new ZyLuaTENumber(2), new ZyLuaTENil());
  EXPECT_EQ(Encode(two), kExample2);

  for (const std::string& example : {kExample1, kExample2}) {
    long consumed = 0;
    auto decoded = Decode(example, &consumed);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(consumed, static_cast<long>(example.size()));
    EXPECT_EQ(Encode(*decoded), example);
  }
}

TEST(ElementEncoding, SmallElementsAndKeyOrder) {
  EXPECT_EQ(Encode(ZyLuaTENil()), Bytes({1, 0, 0, 0}));
  EXPECT_EQ(Encode(ZyLuaTETable()), Bytes({5, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Encode(ZyLuaTEString("")), Bytes({3, 0, 0, 0, 1, 0, 0, 0, 0}));
  EXPECT_EQ(Encode(ZyLuaTEData(nullptr, 0)), Bytes({4, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Encode(ZyLuaTENumber(-2)), Bytes({2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0}));
  // A text is written up to its first NUL, which closes it.
  EXPECT_EQ(Encode(ZyLuaTEString(std::string("hi\0there", 8))),
            Bytes({3, 0, 0, 0, 3, 0, 0, 0, 'h', 'i', 0}));

  ZyLuaTETable numbers;
  numbers.Set(new ZyLuaTENumber(10), new ZyLuaTENil());
  numbers.Set(new ZyLuaTENumber(9.5), new ZyLuaTENil());
  numbers.Set(new ZyLuaTENumber(-1), new ZyLuaTENil());
  const std::string nil = Bytes({1, 0, 0, 0});
  EXPECT_EQ(Encode(numbers), Bytes({5, 0, 0, 0, 3, 0, 0, 0}) + Encode(ZyLuaTENumber(-1)) + nil +
                                 Encode(ZyLuaTENumber(9.5)) + nil + Encode(ZyLuaTENumber(10)) +
                                 nil);

  ZyLuaTETable strings;
  strings.Set("b", new ZyLuaTENil());
  strings.Set("ab", new ZyLuaTENil());
  EXPECT_EQ(Encode(strings), Bytes({5, 0, 0, 0, 2, 0, 0, 0}) + Encode(ZyLuaTEString("ab")) + nil +
                                 Encode(ZyLuaTEString("b")) + nil);
}

TEST(ElementEncoding, AbsentValueIsWrittenAsNil) {
  ZyLuaTETable table;
  table.Set("k", nullptr);
  EXPECT_EQ(Encode(table), Bytes({5, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 'k', 0, 1, 0, 0, 0}));
}

TEST(ElementEncoding, WritingToAFailedStreamNeitherThrowsNorWrites) {
  ZyNSDataWriteStreamBuf buf(0);
  std::ostream out(&buf);
  out.setstate(std::ios_base::badbit);
  EXPECT_NO_THROW(NestedSample()->writeToStream(out));
  EXPECT_EQ(buf.getNSData()->length(), 0u);
}

TEST(ElementDecoding, RoundTripsKeepValuesAndBits) {
  const std::string sample = Encode(*NestedSample());
  auto decoded = Decode(sample);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(Encode(*decoded), sample);

  for (double value : {0.0, -0.0, 1.0 / 3, -1e-310, std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::quiet_NaN()}) {
    auto number = Decode(Encode(ZyLuaTENumber(value)));
    ASSERT_NE(number, nullptr);
    const double back = static_cast<double>(*number);
    EXPECT_EQ(std::memcmp(&back, &value, sizeof value), 0) << value;
  }

  std::string big(200 * 1024, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 1);
  auto data = Decode(Encode(ZyLuaTEData(&big[0], static_cast<int>(big.size()))));
  auto* decodedData = dynamic_cast<ZyLuaTEData*>(data.get());
  ASSERT_NE(decodedData, nullptr);
  ASSERT_EQ(decodedData->mLength, static_cast<int32_t>(big.size()));
  EXPECT_EQ(std::memcmp(decodedData->mBytes, big.data(), big.size()), 0);
}

TEST(ElementDecoding, StringBodies) {
  long consumed = 0;
  // N = 0: empty, and the next element starts right after the length.
  const std::string emptyThenNil = Bytes({3, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0});
  auto empty = Decode(emptyThenNil, &consumed);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(static_cast<std::string>(*empty), "");
  EXPECT_EQ(consumed, 8);
  // A negative N reads as empty too.
  auto negative = Decode(Bytes({3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}), &consumed);
  ASSERT_NE(negative, nullptr);
  EXPECT_EQ(static_cast<std::string>(*negative), "");
  // The text ends at the first NUL; the bytes after it are consumed.
  auto cut = Decode(Bytes({3, 0, 0, 0, 3, 0, 0, 0, 'a', 0, 'b', 1, 0, 0, 0}), &consumed);
  ASSERT_NE(cut, nullptr);
  EXPECT_EQ(static_cast<std::string>(*cut), "a");
  EXPECT_EQ(consumed, 11);
  // Without any NUL all N bytes are the text.
  auto unterminated = Decode(Bytes({3, 0, 0, 0, 2, 0, 0, 0, 'o', 'k'}));
  ASSERT_NE(unterminated, nullptr);
  EXPECT_EQ(static_cast<std::string>(*unterminated), "ok");
}

TEST(ElementDecoding, TableBodies) {
  long consumed = 0;
  auto negative = Decode(Bytes({5, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0}), &consumed);
  auto* negativeTable = dynamic_cast<ZyLuaTETable*>(negative.get());
  ASSERT_NE(negativeTable, nullptr);
  EXPECT_TRUE(negativeTable->mTable.empty());
  EXPECT_EQ(consumed, 8);

  // The same key twice: one entry holding the later value.
  const std::string key = Encode(ZyLuaTEString("k"));
  auto twice = Decode(Bytes({5, 0, 0, 0, 2, 0, 0, 0}) + key + Encode(ZyLuaTENumber(1)) + key +
                      Encode(ZyLuaTENumber(2)));
  auto* twiceTable = dynamic_cast<ZyLuaTETable*>(twice.get());
  ASSERT_NE(twiceTable, nullptr);
  ASSERT_EQ(twiceTable->mTable.size(), 1u);
  ASSERT_NE(twiceTable->elementForKey("k"), nullptr);
  EXPECT_EQ(static_cast<double>(*twiceTable->elementForKey("k")), 2.0);
}

TEST(ElementDecoding, UnrecognisedTagsGiveNullAfterFourBytes) {
  for (int tag : {0, 6, -1}) {
    const auto t = static_cast<uint32_t>(tag);
    long consumed = 0;
    auto element = Decode(Bytes({static_cast<int>(t & 0xFF), static_cast<int>(t >> 8 & 0xFF),
                                 static_cast<int>(t >> 16 & 0xFF), static_cast<int>(t >> 24),
                                 2, 0, 0, 0}),
                          &consumed);
    EXPECT_EQ(element, nullptr) << tag;
    EXPECT_EQ(consumed, 4) << tag;
  }
  // As a value: the entry stays without a value, and what follows the bad tag
  // is read as the next key.
  auto decoded = Decode(Bytes({5, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0}) +
                        Encode(ZyLuaTENumber(2)) + Encode(ZyLuaTEString("v")));
  auto* table = dynamic_cast<ZyLuaTETable*>(decoded.get());
  ASSERT_NE(table, nullptr);
  ASSERT_EQ(table->mTable.size(), 2u);
  ZyLuaTENil nil;
  EXPECT_EQ(table->mTable.count(&nil), 1u);
  EXPECT_EQ(table->elementForKey(&nil), nullptr);
  ASSERT_NE(table->elementForKey(2), nullptr);
  EXPECT_EQ(static_cast<std::string>(*table->elementForKey(2)), "v");
}

TEST(ElementDecoding, EveryCutShortPrefixIsAStreamError) {
  const std::string full = Encode(*NestedSample());
  ASSERT_GT(full.size(), 60u);
  for (size_t length = 0; length < full.size(); ++length) {
    try {
      Decode(full.substr(0, length));
      ADD_FAILURE() << "no error for a prefix of " << length << " bytes";
    } catch (const zy::Exception& e) {
      EXPECT_EQ(e.name(), "Stream Error") << length;
      EXPECT_EQ(e.reason(), "Stream Error") << length;
    }
  }
  for (const std::string& example : {kExample1, kExample2}) {
    for (size_t length = 0; length < example.size(); ++length) {
      EXPECT_EQ(DecodeError(example.substr(0, length)), kZyStreamError) << length;
    }
  }
}

TEST(ElementDecoding, StreamAlreadyFailedIsAStreamError) {
  ZyNSDataReadStreamBuf buf(value_test::DataOf(kExample1));
  std::istream in(&buf);
  in.setstate(std::ios_base::failbit);
  EXPECT_THROW(ZyLuaTE::createFromStream(in), zy::Exception);
}

// Remembers the largest block read asked of it: a body that is refused before
// its buffer is allocated is never asked for.
class RecordingReadBuf : public ZyNSDataReadStreamBuf {
 public:
  using ZyNSDataReadStreamBuf::ZyNSDataReadStreamBuf;
  std::streamsize largestRequest = 0;

 protected:
  std::streamsize xsgetn(char* destination, std::streamsize count) override {
    largestRequest = std::max(largestRequest, count);
    return ZyNSDataReadStreamBuf::xsgetn(destination, count);
  }
};

TEST(ElementDecoding, LengthsBeyondTheInputFailBeforeAllocating) {
  // Announced lengths of ~2 GiB with a handful of bytes behind them.
  for (const std::string& lie : {Bytes({3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 'a', 0}),
                                 Bytes({4, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3}),
                                 Bytes({4, 0, 0, 0, 4, 0, 0, 0, 1, 2, 3})}) {
    RecordingReadBuf buf(value_test::DataOf(lie));
    std::istream in(&buf);
    try {
      delete ZyLuaTE::createFromStream(in);
      ADD_FAILURE() << "a length beyond the input decoded";
    } catch (const zy::Exception& e) {
      EXPECT_EQ(e.name(), kZyStreamError);
    }
    EXPECT_LE(buf.largestRequest, 4);  // Only the tag and the length were read.
  }
  // A count that the bytes cannot satisfy.
  EXPECT_EQ(DecodeError(Bytes({5, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 1, 0, 0, 0, 1, 0, 0, 0})),
            kZyStreamError);
}

TEST(ElementDecoding, MalformedInputIsItsOwnError) {
  // A key whose tag is none of the five kinds.
  EXPECT_EQ(DecodeError(Bytes({5, 0, 0, 0, 1, 0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0})),
            kZyMalformedElement);
  // ... also after valid entries, which must then be freed (ASan checks).
  EXPECT_EQ(DecodeError(Bytes({5, 0, 0, 0, 2, 0, 0, 0}) + Encode(ZyLuaTEString("k")) +
                        Encode(ZyLuaTEString("v")) + Bytes({0, 0, 0, 0})),
            kZyMalformedElement);
  // A data element with a negative length.
  EXPECT_EQ(DecodeError(Bytes({4, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF})), kZyMalformedElement);
  // Nesting: the deepest accepted level decodes, one more is refused.
  EXPECT_NE(Decode(Nested(kZyMaxTableDepth)), nullptr);
  EXPECT_EQ(DecodeError(Nested(kZyMaxTableDepth + 1)), kZyMalformedElement);
  EXPECT_NE(std::string(kZyMalformedElement), std::string(kZyStreamError));
}

// A stream buffer that cannot seek and hands out its bytes in small pieces,
// as a pipe would.
class UnseekableBuf : public std::streambuf {
 public:
  explicit UnseekableBuf(std::string bytes) : mBytes(std::move(bytes)) {}

 protected:
  std::streamsize xsgetn(char* destination, std::streamsize count) override {
    const auto n = std::min<std::streamsize>(count, mBytes.size() - mNext);
    std::memcpy(destination, mBytes.data() + mNext, n);
    mNext += n;
    return n;
  }

 private:
  std::string mBytes;
  size_t mNext = 0;
};

TEST(ElementDecoding, StreamsThatCannotSeekStillDecodeAndRefuseLies) {
  std::string big(300 * 1024, 'x');
  const std::string bigData = Encode(ZyLuaTEData(&big[0], static_cast<int>(big.size())));
  const std::string bigString = Encode(ZyLuaTEString(big));
  for (const std::string& bytes : {kExample1, kExample2, bigData, bigString}) {
    UnseekableBuf buf(bytes);
    std::istream in(&buf);
    std::unique_ptr<ZyLuaTE> element(ZyLuaTE::createFromStream(in));
    ASSERT_NE(element, nullptr);
    EXPECT_EQ(Encode(*element), bytes);
  }
  for (const std::string& lie : {Bytes({4, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3}),
                                 Bytes({3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 'a', 0}),
                                 bigData.substr(0, bigData.size() - 1)}) {
    UnseekableBuf buf(lie);
    std::istream in(&buf);
    try {
      delete ZyLuaTE::createFromStream(in);
      ADD_FAILURE() << "a lying length decoded";
    } catch (const zy::Exception& e) {
      EXPECT_EQ(e.name(), kZyStreamError);
    }
  }
}

TEST(ElementDecoding, StandardStringStreamsWorkToo) {
  std::istringstream in(kExample2 + kExample1);
  std::unique_ptr<ZyLuaTE> first(ZyLuaTE::createFromStream(in));
  std::unique_ptr<ZyLuaTE> second(ZyLuaTE::createFromStream(in));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Encode(*first), kExample2);
  EXPECT_EQ(Encode(*second), kExample1);
  EXPECT_THROW(ZyLuaTE::createFromStream(in), zy::Exception);
}

}  // namespace
