#include "host/client/FrameReader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace tether_host {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

// "doCapture", id 7, nil payload: 30 bytes as the task's host writes them.
const std::string kDoCapture = Bytes({0x1A, 0, 0, 0, 7, 0, 0, 0, 3, 0, 0, 0, 0x0A, 0, 0, 0, 'd', 'o',
                                      'C', 'a', 'p', 't', 'u', 'r', 'e', 0, 1, 0, 0, 0});
// "deviceRemoved", id 0, {"device_id" = 1}: 68 bytes.
const std::string kDeviceRemoved =
    Bytes({0x40, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0x0E, 0, 0, 0, 'd', 'e', 'v', 'i', 'c', 'e', 'R',
           'e', 'm', 'o', 'v', 'e', 'd', 0, 5, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 0x0A, 0, 0, 0, 'd', 'e',
           'v', 'i', 'c', 'e', '_', 'i', 'd', 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F});

std::string Int32(int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  return Bytes({static_cast<int>(u & 0xFF), static_cast<int>((u >> 8) & 0xFF),
                static_cast<int>((u >> 16) & 0xFF), static_cast<int>(u >> 24)});
}

// A frame around hand-made element bytes, with the length they need.
std::string FrameAround(int32_t id, const std::string& elements) {
  return Int32(static_cast<int32_t>(elements.size() + 4)) + Int32(id) + elements;
}

std::string StringElement(const std::string& text) {
  return Int32(3) + Int32(static_cast<int32_t>(text.size() + 1)) + text + std::string(1, '\0');
}

const std::string kNil = Int32(1);

std::vector<HostMessage> Drain(FrameReader* reader) {
  std::vector<HostMessage> out;
  HostMessage m;
  while (reader->next(&m) == FrameReader::Result::kMessage) out.push_back(std::move(m));
  return out;
}

void ExpectWorkedExamples(const std::vector<HostMessage>& got) {
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].id, 7);
  EXPECT_EQ(got[0].name, "doCapture");
  ASSERT_TRUE(got[0].payload);
  EXPECT_EQ(got[0].payload->mType, ZyLuaTE::kNil);
  EXPECT_EQ(got[0].table(), nullptr);
  EXPECT_EQ(got[1].id, 0);
  EXPECT_EQ(got[1].name, "deviceRemoved");
  EXPECT_EQ(got[1].number("device_id"), 1.0);
  EXPECT_EQ(got[1].string("device_id"), std::nullopt);  // a number, not a string
}

TEST(FrameReaderTest, EveryThreeWaySplitYieldsTheSameMessages) {
  const std::string stream = kDoCapture + kDeviceRemoved;
  for (size_t i = 0; i <= stream.size(); ++i) {
    for (size_t j = i; j <= stream.size(); ++j) {
      FrameReader reader;
      std::vector<HostMessage> got;
      for (const auto& [from, to] : {std::pair{size_t{0}, i}, {i, j}, {j, stream.size()}}) {
        reader.append(stream.data() + from, to - from);
        for (auto& m : Drain(&reader)) got.push_back(std::move(m));
      }
      SCOPED_TRACE("split at " + std::to_string(i) + "," + std::to_string(j));
      ExpectWorkedExamples(got);
      EXPECT_EQ(reader.buffered(), 0u);
      if (HasFatalFailure()) return;
    }
  }
}

TEST(FrameReaderTest, RandomChunkingsOfManyFramesKeepOrderAndContent) {
  std::string stream;
  std::vector<int> sizes;
  for (int i = 0; i < 40; ++i) {
    ZyLuaTETable table;
    std::string blob(static_cast<size_t>(i * 37), static_cast<char>(i));
    table.Set("blob", new ZyLuaTEData(blob.data(), static_cast<int>(blob.size())));
    table.Set("n", new ZyLuaTENumber(i));
    stream += EncodeFrame(1000 + i, "m" + std::to_string(i), &table);
    sizes.push_back(static_cast<int>(blob.size()));
  }
  std::mt19937 rng(12345);
  for (int round = 0; round < 50; ++round) {
    FrameReader reader;
    std::vector<HostMessage> got;
    size_t at = 0;
    while (at < stream.size()) {
      const size_t n = std::min(stream.size() - at, size_t{1} + rng() % 300);
      reader.append(stream.data() + at, n);
      at += n;
      for (auto& m : Drain(&reader)) got.push_back(std::move(m));
    }
    ASSERT_EQ(got.size(), 40u);
    for (int i = 0; i < 40; ++i) {
      EXPECT_EQ(got[i].id, 1000 + i);
      EXPECT_EQ(got[i].name, "m" + std::to_string(i));
      EXPECT_EQ(got[i].number("n"), i);
      ASSERT_NE(got[i].data("blob"), nullptr);
      EXPECT_EQ(got[i].data("blob")->mLength, sizes[i]);
    }
  }
}

TEST(FrameReaderTest, IncompleteInputWaitsForMore) {
  FrameReader reader;
  HostMessage m;
  EXPECT_EQ(reader.next(&m), FrameReader::Result::kNeedMore);
  reader.append(kDoCapture.data(), 3);
  EXPECT_EQ(reader.next(&m), FrameReader::Result::kNeedMore);
  reader.append(kDoCapture.data() + 3, 1);  // exactly the length field
  EXPECT_EQ(reader.next(&m), FrameReader::Result::kNeedMore);
  reader.append(kDoCapture.data() + 4, kDoCapture.size() - 5);  // all but the last byte
  EXPECT_EQ(reader.next(&m), FrameReader::Result::kNeedMore);
  EXPECT_EQ(reader.buffered(), kDoCapture.size() - 1);
  reader.append(kDoCapture.data() + kDoCapture.size() - 1, 1);
  EXPECT_EQ(reader.next(&m), FrameReader::Result::kMessage);
  EXPECT_EQ(m.name, "doCapture");
}

TEST(FrameReaderTest, EncodeFrameWritesTheTaskLayout) {
  ZyLuaTETable table;
  table.Set("device_id", new ZyLuaTENumber(1));
  EXPECT_EQ(EncodeFrame(0, "deviceRemoved", &table), kDeviceRemoved);
  EXPECT_EQ(EncodeFrame(7, "doCapture", nullptr), kDoCapture);
  EXPECT_EQ(EncodeFrame(-1, "ok", nullptr).substr(0, 8), Int32(19) + Int32(-1));
}

// Refused as soon as the four length bytes are in: nothing of the body is
// awaited or buffered for them.
TEST(FrameReaderTest, RejectsLengthsOutsideTheFrameLimits) {
  for (int32_t length : {-1, -5, INT32_MIN, 0, 4, 11, 1001, INT32_MAX}) {
    FrameReader reader(1000);
    const std::string field = Int32(length);
    reader.append(field.data(), field.size());
    HostMessage m;
    EXPECT_EQ(reader.next(&m), FrameReader::Result::kError) << length;
    EXPECT_NE(reader.error().find(std::to_string(length)), std::string::npos) << reader.error();
  }
  FrameReader atLimit(1000);
  const std::string field = Int32(1000);
  atLimit.append(field.data(), field.size());
  HostMessage m;
  EXPECT_EQ(atLimit.next(&m), FrameReader::Result::kNeedMore);
}

TEST(FrameReaderTest, RejectsFramesWhoseContentsDoNotFitTheirLength) {
  const std::string elements = StringElement("ok") + kNil;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"length beyond contents", Int32(static_cast<int32_t>(elements.size() + 8)) + Int32(1) +
                                     elements + Int32(1)},
      {"length short of contents",
       Int32(static_cast<int32_t>(elements.size() + 2)) + Int32(1) + elements},
      {"string longer than the frame",
       FrameAround(1, Int32(3) + Int32(100) + "ab" + std::string(1, '\0') + kNil)},
      {"name not a string", FrameAround(1, Int32(2) + std::string(8, '\0') + kNil)},
      {"payload a number", FrameAround(1, StringElement("ok") + Int32(2) + std::string(8, '\0'))},
      {"unknown tag", FrameAround(1, StringElement("ok") + Int32(9))},
      {"negative data length",
       FrameAround(1, StringElement("ok") + Int32(5) + Int32(1) + StringElement("d") + Int32(4) +
                          Int32(-3))},
      {"absurd entry count", FrameAround(1, StringElement("ok") + Int32(5) + Int32(1 << 30) + kNil)},
  };
  for (const auto& [what, frame] : cases) {
    FrameReader reader;
    reader.append(frame.data(), frame.size());
    HostMessage m;
    EXPECT_EQ(reader.next(&m), FrameReader::Result::kError) << what;
    EXPECT_FALSE(reader.error().empty()) << what;
  }
}

TEST(FrameReaderTest, RejectsTablesNestedBeyondTheLimit) {
  const auto nested = [](int depth) {
    std::string e = kNil;
    for (int i = 0; i < depth; ++i) e = Int32(5) + Int32(1) + StringElement("k") + e;
    return FrameAround(1, StringElement("deep") + e);
  };
  FrameReader ok;
  std::string frame = nested(kZyMaxTableDepth);
  ok.append(frame.data(), frame.size());
  HostMessage m;
  EXPECT_EQ(ok.next(&m), FrameReader::Result::kMessage);

  FrameReader tooDeep;
  frame = nested(kZyMaxTableDepth + 1);
  tooDeep.append(frame.data(), frame.size());
  EXPECT_EQ(tooDeep.next(&m), FrameReader::Result::kError);
}

TEST(FrameReaderTest, AnErrorIsFinalAndMessagesBeforeItSurvive) {
  FrameReader reader;
  const std::string stream = kDoCapture + Int32(-1) + kDeviceRemoved;
  reader.append(stream.data(), stream.size());
  HostMessage m;
  ASSERT_EQ(reader.next(&m), FrameReader::Result::kMessage);
  EXPECT_EQ(m.name, "doCapture");
  EXPECT_EQ(reader.next(&m), FrameReader::Result::kError);
  reader.append(kDeviceRemoved.data(), kDeviceRemoved.size());
  EXPECT_EQ(reader.next(&m), FrameReader::Result::kError);
}

}  // namespace
}  // namespace tether_host
