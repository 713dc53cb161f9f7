// Frames cut from the bytes read: worked example, every split of a mixed
// stream, length fields that disagree with their bodies, malformed frames,
// end of input, and the ownership of what is queued.
#include <fcntl.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "platform/FileHandle.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "tests/source/mac_source/frame_bytes.h"
#include "tests/platform/platform_test_util.h"

namespace hostlink_test {
namespace {

using ::testing::HasSubstr;

// Captures the log for the life of a test.
class LogCapture {
 public:
  LogCapture() {
    zy::SetLogSink([this](std::string_view line) {
      std::lock_guard<std::mutex> lock(mMutex);
      mLines.emplace_back(line);
    });
  }
  ~LogCapture() { zy::SetLogSink({}); }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mLines;
  }

 private:
  std::mutex mMutex;
  std::vector<std::string> mLines;
};

std::string Pattern(size_t n, unsigned seed) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i * 131 + seed) & 0xFF);
  return out;
}

ZyLuaTEData* NewData(const std::string& bytes) {
  return new ZyLuaTEData(const_cast<char*>(bytes.data()), static_cast<int>(bytes.size()));
}

// A stream of frames of many shapes, and what each must yield.
struct Stream {
  std::string bytes;
  std::vector<Received> expected;
  void add(int32_t id, const std::string& name, const std::string& payload) {
    bytes += Frame(id, name, payload);
    expected.push_back(Received{id, name, payload});
  }
};

Stream MixedStream() {
  Stream s;
  s.add(7, NameBytes("doCapture"), NilBytes());
  {
    ZyLuaTETable table;
    table.Set("a", new ZyLuaTENumber(1));
    auto* nested = new ZyLuaTETable;
    nested->Set("blob", NewData(Pattern(300, 1)));
    nested->Set("x", new ZyLuaTEString("s"));
    nested->Set(new ZyLuaTENumber(3), new ZyLuaTENumber(-2.5));
    table.Set("nested", nested);
    s.add(-5, NameBytes("getCameraSettings"), Encode(table));
  }
  s.add(0, NameBytes(""), Encode(ZyLuaTETable()));
  {
    ZyLuaTETable table;
    table.Set(new ZyLuaTENil, new ZyLuaTEString("v"));
    table.Set(new ZyLuaTENumber(1), NewData(""));
    s.add(INT32_MIN, NameBytes("na\xC3\xAFve \xC3\xBC"), Encode(table));
  }
  {
    ZyLuaTETable table;
    table.Set("device_id", new ZyLuaTENumber(8201));
    s.add(INT32_MAX, NameBytes("deviceAdded"), Encode(table));
  }
  s.add(-1, NameBytes("x"), NilBytes());
  return s;
}

TEST(AccumulatorFraming, WorkedExampleArrivingInReadsOf3And5And22) {
  const std::string frame = FromHex(
      "1A 00 00 00 07 00 00 00 03 00 00 00 0A 00 00 00 64 6F 43 61 70 74 75 72 65 00 01 00 00 00");
  ASSERT_EQ(frame.size(), 30u);
  ASSERT_EQ(frame, Frame(7, NameBytes("doCapture"), NilBytes()));

  Harness h;
  h.feed(frame.substr(0, 3));
  EXPECT_EQ(h.available, 0);
  h.feed(frame.substr(3, 5));
  EXPECT_EQ(h.available, 0);
  h.feed(frame.substr(8, 22));
  EXPECT_EQ(h.available, 1);
  ASSERT_EQ(h.got.size(), 1u);
  EXPECT_EQ(h.got[0], (Received{7, NameBytes("doCapture"), NilBytes()}));
  EXPECT_EQ(h.accumulator.getNextMessage(), nullptr);
}

TEST(AccumulatorFraming, DecodedElementsHoldTheSentValues) {
  Stream s = MixedStream();
  Harness h;
  h.drainOnNotification = false;
  h.feed(s.bytes);
  EXPECT_EQ(h.available, 6);

  CRCMessage* first = h.accumulator.getNextMessage();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->messageId, 7);
  EXPECT_EQ(static_cast<std::string>(*first->messageName), "doCapture");
  EXPECT_EQ(first->messageData->mType, ZyLuaTE::kNil);
  EXPECT_EQ(first->messageLength, 26);
  ZyDeleteMessage(first);

  CRCMessage* second = h.accumulator.getNextMessage();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->messageId, -5);
  EXPECT_EQ(static_cast<std::string>(*second->messageName), "getCameraSettings");
  auto* table = dynamic_cast<ZyLuaTETable*>(second->messageData);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(static_cast<double>(*table->elementForKey("a")), 1.0);
  auto* nested = dynamic_cast<ZyLuaTETable*>(table->elementForKey("nested"));
  ASSERT_NE(nested, nullptr);
  auto* blob = dynamic_cast<ZyLuaTEData*>(nested->elementForKey("blob"));
  ASSERT_NE(blob, nullptr);
  ASSERT_EQ(blob->mLength, 300);
  EXPECT_EQ(std::string(static_cast<char*>(blob->mBytes), 300), Pattern(300, 1));
  EXPECT_EQ(static_cast<double>(*nested->elementForKey(3)), -2.5);
  ZyDeleteMessage(second);

  // The rest come out in arrival order; then the queue is empty.
  std::vector<int32_t> ids;
  while (CRCMessage* m = h.accumulator.getNextMessage()) {
    ids.push_back(m->messageId);
    ZyDeleteMessage(m);
  }
  EXPECT_EQ(ids, (std::vector<int32_t>{0, INT32_MIN, INT32_MAX, -1}));
}

TEST(AccumulatorFraming, MixedStreamSplitAtEveryByteBoundary) {
  Stream s = MixedStream();
  for (size_t k = 0; k <= s.bytes.size(); ++k) {
    Harness h;
    h.feedChunks(s.bytes, {k});
    ASSERT_EQ(h.got, s.expected) << "split at " << k;
    ASSERT_EQ(h.available, static_cast<int>(s.expected.size())) << "split at " << k;
    ASSERT_EQ(h.emptyTakes, 0);
  }
}

TEST(AccumulatorFraming, MixedStreamInOneByteAndRandomReads) {
  Stream s = MixedStream();
  {
    Harness h;
    h.feedChunks(s.bytes, std::vector<size_t>(s.bytes.size(), 1));
    EXPECT_EQ(h.got, s.expected);
    EXPECT_EQ(h.available, static_cast<int>(s.expected.size()));
  }
  std::mt19937 random(20261207);
  for (int round = 0; round < 300; ++round) {
    const size_t largest = round % 3 == 0 ? 7 : (round % 3 == 1 ? 64 : 700);
    std::uniform_int_distribution<size_t> size(1, largest);
    std::vector<size_t> sizes;
    for (size_t total = 0; total < s.bytes.size();) {
      sizes.push_back(size(random));
      total += sizes.back();
    }
    Harness h;
    h.feedChunks(s.bytes, sizes);
    ASSERT_EQ(h.got, s.expected) << "round " << round;
    ASSERT_EQ(h.available, static_cast<int>(s.expected.size())) << "round " << round;
  }
}

TEST(AccumulatorFraming, SeveralFramesInOneReadAreQueuedInArrivalOrder) {
  Stream s = MixedStream();
  Harness h;
  h.drainOnNotification = false;
  h.feed(s.bytes + s.bytes);
  EXPECT_EQ(h.available, 12);
  while (h.take()) {
  }
  std::vector<Received> twice = s.expected;
  twice.insert(twice.end(), s.expected.begin(), s.expected.end());
  EXPECT_EQ(h.got, twice);
}

TEST(AccumulatorFraming, ReadOfExactlyTheLengthFieldThenTheBody) {
  const std::string frame = Frame(9, NameBytes("getCameraSettings"), NilBytes());
  const std::string next = Frame(10, NameBytes("doCapture"), NilBytes());
  Harness h;
  h.feed(frame.substr(0, 4));
  EXPECT_EQ(h.available, 0);
  // One byte short of the stored length: still waiting.
  h.feed(frame.substr(4, frame.size() - 5));
  EXPECT_EQ(h.available, 0);
  // The last body byte together with 2 bytes of the next length field.
  h.feed(frame.substr(frame.size() - 1) + next.substr(0, 2));
  EXPECT_EQ(h.available, 1);
  h.feed(next.substr(2));
  EXPECT_EQ(h.available, 2);
  EXPECT_EQ(h.got, (std::vector<Received>{{9, NameBytes("getCameraSettings"), NilBytes()},
                                          {10, NameBytes("doCapture"), NilBytes()}}));
}

TEST(AccumulatorFraming, LengthLargerThanBodyWaitsAndSurplusStartsTheNextFrame) {
  // The first frame announces 4 bytes more than its body: those are the next
  // frame's length field.
  const std::string name = NameBytes("doCapture");
  const std::string first =
      FrameWithLength(static_cast<int32_t>(4 + name.size() + 4 + 4), 1, name, NilBytes());
  const std::string second = Frame(2, NameBytes("shutdown"), NilBytes());
  Harness h;
  h.feed(first);
  EXPECT_EQ(h.available, 0) << "formed before its announced length was buffered";
  h.feed(second.substr(0, 4));
  EXPECT_EQ(h.available, 1);
  h.feed(second.substr(4));
  EXPECT_EQ(h.available, 2);
  EXPECT_EQ(h.got, (std::vector<Received>{{1, name, NilBytes()},
                                          {2, NameBytes("shutdown"), NilBytes()}}));
}

TEST(AccumulatorFraming, LengthSmallerThanBodyDecodesCutElementOnceTheRestArrives) {
  ZyLuaTETable table;
  table.Set("file_path", new ZyLuaTEString("/tmp/TetherTMP1.DNG"));
  table.Set("size", new ZyLuaTENumber(123456));
  const std::string payload = Encode(table);
  const std::string name = NameBytes("fileDownloadComplete");
  const std::string next = Frame(4, NameBytes("x"), NilBytes());

  // Cut inside the payload, and cut inside the name.
  for (size_t announced : {4 + name.size() + 6, size_t{4 + 3}}) {
    const std::string frame = FrameWithLength(static_cast<int32_t>(announced), 3, name, payload);
    const size_t cut = 4 + announced;
    for (size_t extra = 0; extra + cut < frame.size(); extra += 5) {
      Harness h;
      h.feed(frame.substr(0, cut + extra));
      EXPECT_EQ(h.available, 0);
      h.feed(frame.substr(cut + extra) + next);
      EXPECT_EQ(h.available, 2) << "announced " << announced << " extra " << extra;
      EXPECT_EQ(h.got, (std::vector<Received>{{3, name, payload}, {4, NameBytes("x"), NilBytes()}}));
    }
  }
}

// Lengths of 0 to 3 announce less than the id alone. The length only decides
// when parsing starts, so each starts it at once, and the id and elements are
// read by their own encodings: the frame is formed, not dropped, however it
// is split.
TEST(AccumulatorFraming, LengthsZeroToThreeFormTheFrameHoweverSplit) {
  const std::string name = NameBytes("doCapture");
  const std::string next = Frame(2, NameBytes("b"), NilBytes());
  const std::vector<Received> expected{{1, name, NilBytes()}, {2, NameBytes("b"), NilBytes()}};
  for (int32_t length = 0; length <= 3; ++length) {
    const std::string stream = FrameWithLength(length, 1, name, NilBytes()) + next;
    for (size_t k = 0; k <= stream.size(); ++k) {
      Harness h;
      h.feedChunks(stream, {k});
      ASSERT_EQ(h.got, expected) << "length " << length << ", split at " << k;
      ASSERT_TRUE(h.drops.dropped.empty()) << "length " << length << ": " << h.drops.dropped[0].why;
    }
    Harness h;
    h.feedChunks(stream, std::vector<size_t>(stream.size(), 1));
    EXPECT_EQ(h.got, expected) << "length " << length << ", one byte at a time";
  }
}

TEST(AccumulatorFraming, LargeFrameInManyReadsThenOneInTheSameRead) {
  ZyLuaTETable table;
  table.Set("data", NewData(Pattern(3 << 20, 9)));
  const std::string payload = Encode(table);
  const std::string big = Frame(1, NameBytes("fileDownloadComplete"), payload);
  const std::string small = Frame(2, NameBytes("ok"), NilBytes());
  const std::vector<Received> expected{{1, NameBytes("fileDownloadComplete"), payload},
                                       {2, NameBytes("ok"), NilBytes()}};
  {
    // The big frame and part of the next one arrive in one read.
    Harness h;
    h.feed(big + small.substr(0, 9));
    EXPECT_EQ(h.available, 1);
    h.feed(small.substr(9));
    EXPECT_EQ(h.got, expected);
  }
  {
    Harness h;
    h.feedChunks(big + small, std::vector<size_t>((big.size() + small.size()) / 65536 + 1, 65536));
    EXPECT_EQ(h.got, expected);
    EXPECT_EQ(h.available, 2);
  }
}

TEST(AccumulatorFraming, PartialLengthFieldAtAFrameBoundaryStaysBuffered) {
  const std::string a = Frame(1, NameBytes("a"), NilBytes());
  const std::string b = Frame(2, NameBytes("b"), NilBytes());
  for (size_t partial = 1; partial <= 3; ++partial) {
    Harness h;
    h.feed(a + b.substr(0, partial));
    EXPECT_EQ(h.available, 1);
    h.feed(b.substr(partial));
    EXPECT_EQ(h.available, 2);
    EXPECT_EQ(h.got, (std::vector<Received>{{1, NameBytes("a"), NilBytes()},
                                            {2, NameBytes("b"), NilBytes()}}));
  }
}

TEST(AccumulatorFraming, EmptyQueueHandsOutNull) {
  Harness h;
  EXPECT_EQ(h.accumulator.getNextMessage(), nullptr);
  h.feed(Frame(1, NameBytes("a"), NilBytes()).substr(0, 10));
  EXPECT_EQ(h.accumulator.getNextMessage(), nullptr);
}

// --- Malformed frames --------------------------------------------------------

std::string DeeplyNestedTable(int depth) {
  std::string out;
  for (int i = 0; i < depth; ++i) out += Int32LE(5) + Int32LE(1) + Encode(ZyLuaTENumber(i));
  out += Int32LE(5) + Int32LE(0);
  return out;
}

struct BadFrame {
  const char* kind;
  std::string bytes;
  const char* why;  // what the reporter must be told, in part
};

std::vector<BadFrame> BadFrames() {
  const int32_t id = 4242;
  const std::string name = NameBytes("doCapture");
  std::vector<BadFrame> bad;
  // A table whose key has tag 9, then a number value.
  bad.push_back({"key with an unrecognised tag",
                 Frame(id, name, Int32LE(5) + Int32LE(1) + Int32LE(9) + Encode(ZyLuaTENumber(1))),
                 "table key with an unrecognised tag"});
  // A data value whose length is -1, followed by a few stray bytes.
  bad.push_back({"data with a negative length",
                 Frame(id, name,
                       Int32LE(5) + Int32LE(1) + NameBytes("d") + Int32LE(4) + Int32LE(-1) +
                           std::string("\xAA\xBB\xCC", 3)),
                 "negative data length"});
  bad.push_back({"tables nested too deep", Frame(id, name, DeeplyNestedTable(150)),
                 "tables nested too deep"});
  // A name with tag 7 whose body looks like a string's.
  bad.push_back({"name with an unrecognised tag",
                 Frame(id, Int32LE(7) + Int32LE(5) + std::string("junk\0", 5), NilBytes()),
                 "name with an unrecognised tag"});
  bad.push_back({"payload with an unrecognised tag",
                 Frame(id, name, Int32LE(6) + Int32LE(3) + std::string("\x11\x22\x33", 3)),
                 "payload with an unrecognised tag"});
  bad.push_back({"payload with tag 0", Frame(id, name, Int32LE(0)),
                 "payload with an unrecognised tag"});
  // A length field that no number of bytes can satisfy; the body is sound.
  bad.push_back({"negative length", FrameWithLength(-1, id, name, NilBytes()), "negative length"});
  bad.push_back({"negative length before a table",
                 FrameWithLength(INT32_MIN, id, name, Encode(ZyLuaTETable())), "negative length"});
  return bad;
}

TEST(AccumulatorMalformed, EachKindIsDroppedAndTheFramesAroundItSurvive) {
  ZyLuaTETable table;
  table.Set("capture_id", new ZyLuaTENumber(12));
  const Received before{1, NameBytes("getCameraSettings"), Encode(table)};
  const Received after{3, NameBytes("doCapture"), NilBytes()};
  for (const BadFrame& bad : BadFrames()) {
    const std::string stream = Frame(before.id, before.name, before.payload) + bad.bytes +
                               Frame(after.id, after.name, after.payload);
    // Every boundary, except inside the long nested frame (every 7th).
    const size_t stride = stream.size() > 1000 ? 7 : 1;
    for (size_t k = 0; k <= stream.size(); k += stride) {
      Harness h;
      h.feedChunks(stream, {k});
      ASSERT_EQ(h.got, (std::vector<Received>{before, after})) << bad.kind << ", split at " << k;
      ASSERT_EQ(h.available, 2) << bad.kind;
      ASSERT_EQ(h.drops.ids(), std::vector<int32_t>{4242}) << bad.kind << ", split at " << k;
      ASSERT_THAT(h.drops.dropped[0].why, HasSubstr(bad.why)) << bad.kind;
    }
  }
}

TEST(AccumulatorMalformed, DroppedFrameIsSkippedUpToItsDeclaredEnd) {
  // The name's tag is unrecognised after 4 bytes; the 40 bytes behind it
  // would parse as a frame of their own if parsing resumed there.
  const std::string decoy = Frame(666, NameBytes("decoy"), NilBytes());
  const std::string bad = Frame(4242, Int32LE(8) + decoy, NilBytes());
  const std::string good = Frame(5, NameBytes("ok"), NilBytes());
  Harness h;
  h.feed(bad + good);
  EXPECT_EQ(h.got, (std::vector<Received>{{5, NameBytes("ok"), NilBytes()}}));
  EXPECT_EQ(h.drops.ids(), std::vector<int32_t>{4242});
}

// --- Length fields smaller than their bodies ---------------------------------

// `frame` with its length field announcing only `announced` bytes.
std::string WithLength(std::string frame, int32_t announced) {
  return Int32LE(announced) + frame.substr(4);
}

// Frames whose length is smaller than their body, sound and malformed, as a
// host could send them: the elements are then cut short at some reads.
std::vector<std::string> ShortLengthFrames() {
  std::vector<std::string> frames;
  std::vector<std::string> bodies;
  const Stream mixed = MixedStream();
  for (const Received& r : mixed.expected) bodies.push_back(Frame(r.id, r.name, r.payload));
  for (const BadFrame& bad : BadFrames()) bodies.push_back(bad.bytes);
  ZyLuaTETable many;  // a table of many small entries, some values unrecognised
  for (int i = 0; i < 200; ++i) many.Set(new ZyLuaTENumber(i), new ZyLuaTEString("v"));
  const std::string manyBytes = Encode(many);
  bodies.push_back(Frame(9, NameBytes("many"), manyBytes));
  bodies.push_back(Frame(10, NameBytes("skips"), Int32LE(5) + Int32LE(2) + NameBytes("a") +
                                                     Int32LE(9) + NameBytes("b") + NilBytes()));
  for (const std::string& body : bodies) {
    const auto size = static_cast<int32_t>(body.size()) - 4;
    for (int32_t announced : {4, 6, 9, size / 2, size - 1}) {
      frames.push_back(WithLength(body, announced));
    }
  }
  return frames;
}

// However the bytes are split, the accumulator forms and drops exactly what it
// does with the whole stream in one read.
TEST(AccumulatorShortLength, ChunkedStreamFormsAndDropsWhatTheWholeStreamDoes) {
  std::string stream;
  for (const std::string& frame : ShortLengthFrames()) stream += frame;
  stream += Frame(77, NameBytes("last"), NilBytes());
  Harness whole;
  whole.feed(stream);
  ASSERT_GT(whole.got.size(), 10u);
  ASSERT_FALSE(whole.drops.dropped.empty());
  const std::vector<std::vector<size_t>> splits = {
      {1}, {2}, {3}, {5}, {7}, {13}, {64}, {1, 2, 3, 5, 8}, {4096}};
  for (const auto& sizes : splits) {
    std::vector<size_t> cycled;
    for (size_t at = 0; at < stream.size(); at += cycled.back()) {
      cycled.push_back(sizes[cycled.size() % sizes.size()]);
    }
    Harness h;
    h.feedChunks(stream, cycled);
    ASSERT_EQ(h.got, whole.got) << "reads of " << sizes[0];
    ASSERT_EQ(h.available, whole.available) << "reads of " << sizes[0];
    ASSERT_EQ(h.drops.ids(), whole.drops.ids()) << "reads of " << sizes[0];
    for (size_t i = 0; i < whole.drops.dropped.size(); ++i) {
      ASSERT_EQ(h.drops.dropped[i].why, whole.drops.dropped[i].why) << i;
    }
  }
}

// An element cut short is not decoded again from its first byte on every
// read: with the body in many reads, each element is decoded once.
TEST(AccumulatorShortLength, ACutElementIsDecodedOnceHoweverManyReadsBringIt) {
  ZyLuaTETable nested;
  for (int i = 0; i < 300; ++i) nested.Set(new ZyLuaTENumber(i), NewData(Pattern(100, i)));
  ZyLuaTETable table;
  table.Set("data", NewData(Pattern(1 << 20, 5)));
  const std::vector<std::string> payloads = {Encode(table), Encode(nested)};
  for (const std::string& payload : payloads) {
    const std::string name = NameBytes("fileDownloadComplete");
    const std::string stream = WithLength(Frame(1, name, payload), 4 + 6);
    Harness h;
    h.feedChunks(stream, std::vector<size_t>(stream.size() / 512 + 1, 512));
    EXPECT_EQ(h.got, (std::vector<Received>{{1, name, payload}}));
    EXPECT_EQ(h.accumulator.elementDecodesForTesting(), 2);
  }
}

// --- Ownership and end of input -----------------------------------------------

TEST(AccumulatorLifetime, DestructionFreesQueuedAndHalfFormedMessages) {
  // Run under AddressSanitizer, whose leak check fails this test if any
  // element or record is left behind.
  auto h = std::make_unique<Harness>();
  h->drainOnNotification = false;
  ZyLuaTETable table;
  table.Set("data", NewData(Pattern(64, 3)));
  const std::string name = NameBytes("objectWasAdded");
  const std::string payload = Encode(table);
  // Two queued, and a third with its name decoded and its payload cut short.
  std::string bytes = Frame(1, name, payload) + Frame(2, name, payload) +
                      FrameWithLength(static_cast<int32_t>(4 + name.size() + 4), 3, name, payload);
  h->feed(bytes.substr(0, bytes.size() - 10));
  EXPECT_EQ(h->available, 2);
  h.reset();
}

TEST(AccumulatorLifetime, DirectQueueingAnnouncesEachMessage) {
  Harness h;
  h.drainOnNotification = false;
  auto* m = new CRCMessage;
  m->messageId = 77;
  m->messageName = new ZyLuaTEString("x");
  m->messageData = new ZyLuaTENil;
  h.accumulator.addMessageToQueue(m);
  EXPECT_EQ(h.available, 1);
  CRCMessage* out = h.accumulator.getNextMessage();
  EXPECT_EQ(out, m);
  ZyDeleteMessage(out);
}

using platform_test::Pipe;

// An accumulator reading a real descriptor through the main run loop.
struct SourceHarness {
  explicit SourceHarness(int fd) : handle(fd), accumulator(&handle) {
    zy::NotificationCenter::defaultCenter().addObserver(
        this,
        [this](const zy::Notification& n) {
          if (n.name == kZyMessageIsAvailableNotification) {
            CRCMessage* m = accumulator.getNextMessage();
            if (m != nullptr) ids.push_back(m->messageId);
            ZyDeleteMessage(m);
          } else if (n.name == kZyReadHandleIsFinishedNotification) {
            ++finished;
          }
        },
        std::nullopt, &accumulator);
  }
  ~SourceHarness() { zy::NotificationCenter::defaultCenter().removeObserver(this); }
  zy::FileHandle handle;
  ZyRCMessageAccumulator accumulator;
  std::vector<int32_t> ids;
  int finished = 0;
};

TEST(AccumulatorSource, ReadsUntilEndOfInputThenAnnouncesItOnce) {
  zy::RunLoop& loop = zy::RunLoop::main();
  Pipe pipe;
  SourceHarness s(pipe.readEnd);
  pipe.write(Frame(1, NameBytes("a"), NilBytes()) + Frame(2, NameBytes("b"), NilBytes()));
  ASSERT_TRUE(loop.runUntil([&] { return s.ids.size() == 2; }, 10));
  pipe.write(Frame(3, NameBytes("c"), NilBytes()));
  ASSERT_TRUE(loop.runUntil([&] { return s.ids.size() == 3; }, 10));
  EXPECT_EQ(s.finished, 0);

  // An incomplete frame at the end is dropped without a word.
  LogCapture log;
  pipe.write(Frame(4, NameBytes("d"), NilBytes()).substr(0, 11));
  pipe.closeWrite();
  ASSERT_TRUE(loop.runUntil([&] { return s.finished > 0; }, 10));
  // Give a wrongly re-armed read time to report end of file again.
  loop.runUntil([] { return false; }, 0.3);
  EXPECT_EQ(s.finished, 1);
  EXPECT_EQ(s.ids, (std::vector<int32_t>{1, 2, 3}));
  EXPECT_TRUE(log.lines().empty());
}

TEST(AccumulatorSource, EndOfInputAtOnce) {
  zy::RunLoop& loop = zy::RunLoop::main();
  Pipe pipe;
  SourceHarness s(pipe.readEnd);
  pipe.closeWrite();
  ASSERT_TRUE(loop.runUntil([&] { return s.finished > 0; }, 10));
  loop.runUntil([] { return false; }, 0.3);
  EXPECT_EQ(s.finished, 1);
  EXPECT_TRUE(s.ids.empty());
}

}  // namespace
}  // namespace hostlink_test
