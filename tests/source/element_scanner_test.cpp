// Finding an element's end a chunk at a time: the end it finds is where the
// decoder stops, however the bytes are split, and it leaves to the decoder
// every element the decoder refuses or cuts off early.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "source/ZyElementScanner.h"
#include "source/ZyLuaTableMarshalling.h"
#include "value_test_util.h"

namespace {

using Result = ZyElementScanner::Result;
using value_test::Encode;

std::string I32(int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  return std::string{static_cast<char>(u), static_cast<char>(u >> 8), static_cast<char>(u >> 16),
                     static_cast<char>(u >> 24)};
}

// Scans `bytes` in reads of `step` bytes; the verdict and how far it walked.
std::pair<Result, size_t> ScanInSteps(const std::string& bytes, size_t step) {
  ZyElementScanner scanner;
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  Result result = Result::kNeedMore;
  for (size_t have = 0; have < bytes.size() && result == Result::kNeedMore;) {
    have = std::min(bytes.size(), have + step);
    result = scanner.scan(data, have);
  }
  return {result, scanner.walked()};
}

std::string Sample() {
  ZyLuaTETable table;
  table.Set("data", new ZyLuaTEData(const_cast<char*>("\x01\x02"), 2));
  table.Set(new ZyLuaTENumber(-1.5), new ZyLuaTEString("minus"));
  table.Set(new ZyLuaTENil(), new ZyLuaTENumber(1e300));
  auto* inner = new ZyLuaTETable();
  inner->Set("empty", new ZyLuaTEString(""));
  inner->Set(new ZyLuaTENumber(3), new ZyLuaTETable());
  table.Set("inner", inner);
  return Encode(table);
}

TEST(ElementScanner, FindsTheDecodersEndHoweverTheBytesAreSplit) {
  const std::string tail = "\x07\x07\x07\x07\x07";  // what follows the element
  const std::vector<std::string> elements = {
      Encode(ZyLuaTENil()), Encode(ZyLuaTENumber(2)), Encode(ZyLuaTEString("text")),
      I32(3) + I32(0), I32(3) + I32(-4), I32(3) + I32(3) + std::string("a\0b", 3),
      I32(4) + I32(0), I32(5) + I32(-1), Encode(ZyLuaTETable()), Sample(),
      // A table value with an unrecognised tag: the decoder passes over 4 bytes.
      I32(5) + I32(2) + Encode(ZyLuaTEString("a")) + I32(9) + Encode(ZyLuaTEString("b")) +
          Encode(ZyLuaTENil())};
  for (const std::string& element : elements) {
    std::istringstream in(element + tail);
    delete ZyLuaTE::createFromStream(in);
    const auto decoderEnd = static_cast<size_t>(in.tellg());
    ASSERT_EQ(decoderEnd, element.size());
    for (size_t step : {size_t{1}, size_t{3}, size_t{4}, size_t{7}, element.size() + 5}) {
      EXPECT_EQ(ScanInSteps(element + tail, step), std::make_pair(Result::kComplete, decoderEnd))
          << "step " << step << ", element of " << element.size() << " bytes";
    }
  }
}

TEST(ElementScanner, LeavesToTheDecoderWhatItRefusesOrEndsEarly) {
  std::string deep;
  for (int i = 0; i <= kZyMaxTableDepth; ++i) deep += I32(5) + I32(1) + Encode(ZyLuaTENil());
  const std::vector<std::string> elements = {
      I32(9) + I32(1), I32(0), I32(4) + I32(-1),
      I32(5) + I32(1) + I32(6) + Encode(ZyLuaTENil()),  // a key with an unrecognised tag
      deep};
  for (const std::string& element : elements) {
    for (size_t step : {size_t{1}, size_t{5}, element.size()}) {
      EXPECT_EQ(ScanInSteps(element + std::string(64, '\0'), step).first, Result::kDecideNow)
          << "element of " << element.size() << " bytes";
    }
  }
  // An element still arriving: every byte is walked, none twice.
  const std::string data = I32(4) + I32(1000) + std::string(600, 'x');
  EXPECT_EQ(ScanInSteps(data, 100), std::make_pair(Result::kNeedMore, data.size()));
}

}  // namespace
