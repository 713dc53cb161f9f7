// Faults on the pipes between host and task: input ending inside a frame,
// output closed by the host, a host that stops reading for a while, and
// malformed frames of every kind the decoder tells apart. Nothing may be
// dispatched that was not sent whole, and nothing sent may be lost or torn.
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/client/HostMessage.h"
#include "tests/e2e/task_fixture.h"

namespace tether_faults {

using namespace tether_e2e;  // the shared task fixture and its helpers
using FaultTest = TaskTest;

namespace {

using tether_host::EncodeFrame;
using tether_host::HostMessage;
using tether_host::TaskProcess;

// ---- Hand-made frames ----

std::string Int32(int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 24)};
}
std::string StringElement(const std::string& text) {
  return Int32(3) + Int32(static_cast<int32_t>(text.size() + 1)) + text + std::string(1, '\0');
}
std::string NilElement() { return Int32(1); }
// A frame around the given name and payload bytes, with its true length or
// the one given.
std::string Frame(int32_t id, const std::string& name, const std::string& payload) {
  return Int32(static_cast<int32_t>(4 + name.size() + payload.size())) + Int32(id) + name + payload;
}
std::string FrameWithLength(int32_t length, int32_t id, const std::string& name,
                            const std::string& payload) {
  return Int32(length) + Int32(id) + name + payload;
}
// `depth` tables, each the value under "k" of the one around it.
std::string NestedTables(int depth) {
  std::string inner = Int32(5) + Int32(0);
  for (int i = 1; i < depth; ++i) inner = Int32(5) + Int32(1) + StringElement("k") + inner;
  return inner;
}

void ExpectStopSequence(const std::string& log, const std::string& counts) {
  EXPECT_NE(log.find("application received willShutdown notification"), std::string::npos);
  EXPECT_NE(counts.find("requestClose=1"), std::string::npos) << counts;
  EXPECT_NE(counts.find(" exit=1"), std::string::npos) << counts;
}

// ---- Input ending inside a frame ----

class InputEndsInsideFrameTest : public FaultTest, public ::testing::WithParamInterface<int> {};

TEST_P(InputEndsInsideFrameTest, EndsCleanlyWithoutDispatchingThePart) {
  startTask();
  expect("deviceAdded");
  ZyLuaTETable payload;
  payload.Set("note", new ZyLuaTEString("never dispatched"));
  const std::string cut = EncodeFrame(2, "getCameraSettings", &payload);
  const size_t keep = GetParam() > 0 ? static_cast<size_t>(GetParam())
                                     : cut.size() - static_cast<size_t>(-GetParam());
  ASSERT_LT(keep, cut.size());
  // A whole frame, then the start of the next one, in one write.
  ASSERT_TRUE(task().sendRaw(EncodeFrame(1, "getCameraSettings", nullptr) + cut.substr(0, keep)));
  EXPECT_EQ(expect("ok").id, 1);
  task().closeInput();
  ExpectCleanExit(task());

  for (const HostMessage& m : drain()) EXPECT_NE(m.name, "ok") << "id " << m.id;
  const std::string log = taskLog();
  EXPECT_EQ(logCount("Received message: getCameraSettings"), 1u) << log;
  EXPECT_EQ(log.find("dropping malformed"), std::string::npos) << log;
  ExpectStopSequence(log, countsAtExit());
}

// Inside the length field, right after it, inside the id, inside the name,
// inside the payload (negative: bytes short of the end).
INSTANTIATE_TEST_SUITE_P(Cuts, InputEndsInsideFrameTest, ::testing::Values(2, 4, 6, 14, -3));

// ---- Output closed by the host ----

TEST_F(FaultTest, ClosedOutputDoesNotKillTheTask) {
  startTask();
  expect("deviceAdded");
  ASSERT_TRUE(closeHostEndOfTaskOutput());

  // Frames from the SDK's thread (capture, settings changes) and from the
  // main thread (a reply) all meet a broken pipe. The control replies come
  // only after the callbacks have run.
  mustControl("capture");
  mustControl("burst 3");
  ASSERT_GT(task().send("getCameraSettings", nullptr), 0);
  ASSERT_GT(task().send("getCaptureInfo", nullptr), 0);
  ASSERT_TRUE(waitForLog("getCaptureInfoWithMessageId"));
  EXPECT_TRUE(waitForLog("to host: ok"));
  EXPECT_GE(logCount("to host: fileDownloadComplete"), 2u);
  EXPECT_FALSE(task().waitForExit(0)) << task().exitStatus().describe();
  EXPECT_TRUE(krv_sim::ControlClient::isOk(control().command("ping")));

  task().closeInput();
  ExpectCleanExit(task());
  ExpectStopSequence(taskLog(), countsAtExit());
}

// ---- A host that stops reading ----

TEST_F(FaultTest, StalledHostLosesNothingAndTaskMemoryStaysBounded) {
  constexpr int kCaptures = 50;
  constexpr int kRequestsPerCapture = 2;
  constexpr int kBursts = 10;
  startTask();
  expect("deviceAdded");
  const pid_t pid = task().pid();
  const long rssBefore = ProcStatusKb(pid, "VmRSS");
  ASSERT_GT(rssBefore, 0);
  const int output = hostEndOfTaskPipe(1);
  ASSERT_GE(output, 0);

  // Settings bursts from a control client of their own; each reply waits
  // until its callbacks have written, so this thread stalls with the pipe.
  std::atomic<int> burstsDone{0};
  std::thread bursts([&] {
    krv_sim::ControlClient client;
    std::string error;
    if (!client.connect(controlPath(), &error)) return;
    for (int i = 0; i < kBursts; ++i) {
      if (krv_sim::ControlClient::isOk(client.command("burst 20"))) ++burstsDone;
    }
  });

  std::set<int32_t> requestIds;
  for (int i = 0; i < kCaptures; ++i) {
    ASSERT_GT(task().send("doCapture", nullptr), 0);
    for (int r = 0; r < kRequestsPerCapture; ++r) {
      const int32_t id = task().send("getCameraSettings", nullptr);
      ASSERT_GT(id, 0);
      requestIds.insert(id);
    }
  }

  // Wait for the pipe to fill, then keep not reading for a while.
  int pending = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEventTimeoutMs);
  while (ioctl(output, FIONREAD, &pending) == 0 && pending < 48 * 1024 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GE(pending, 48 * 1024) << "the task's output never filled up";
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const long rssStalled = ProcStatusKb(pid, "VmRSS");

  // Read everything: every frame whole, in a consistent order.
  std::vector<HostMessage> messages;
  int objects = 0, thumbnails = 0, files = 0;
  std::multiset<int32_t> answered;
  while (objects < kCaptures || thumbnails < kCaptures || files < 2 * kCaptures ||
         answered.size() < requestIds.size()) {
    HostMessage m;
    const auto status = task().read(&m, kEventTimeoutMs);
    ASSERT_EQ(status, TaskProcess::ReadStatus::kMessage)
        << task().error() << " after " << messages.size() << " messages";
    if (m.name == "objectWasAdded") ++objects;
    if (m.name == "thumbnailWasDownloaded") ++thumbnails;
    if (m.name == "fileDownloadComplete") ++files;
    if (m.name == "ok") answered.insert(m.id);
    messages.push_back(std::move(m));
  }
  bursts.join();
  EXPECT_EQ(burstsDone.load(), kBursts);

  // Capture ids 1..N, each once and in order; each capture's thumbnail and
  // two files come under its own id, before the next capture begins.
  int current = 0;
  std::map<int, int> filesOf;
  for (const HostMessage& m : messages) {
    if (m.name == "objectWasAdded") {
      EXPECT_EQ(m.number("capture_id"), current + 1);
      current = static_cast<int>(m.number("capture_id").value_or(-1));
    } else if (m.name == "thumbnailWasDownloaded") {
      EXPECT_EQ(m.number("capture_id"), current);
    } else if (m.name == "fileDownloadComplete") {
      EXPECT_EQ(m.number("capture_id"), current);
      ++filesOf[current];
      const std::string path = m.string("file_path").value_or("");
      EXPECT_EQ(static_cast<double>(FileBytes(path).size()), m.number("file_size").value_or(-1))
          << path;
    } else if (m.name != "ok" && m.name != "cameraSettingsChanged") {
      ADD_FAILURE() << "unexpected message " << m.name;
    }
  }
  EXPECT_EQ(current, kCaptures);
  for (int id = 1; id <= kCaptures; ++id) EXPECT_EQ(filesOf[id], 2) << "capture " << id;
  // Every request answered exactly once, with its own id.
  EXPECT_EQ(answered, std::multiset<int32_t>(requestIds.begin(), requestIds.end()));

  const long peak = ProcStatusKb(pid, "VmHWM");
  std::printf("task memory: VmRSS %ld KiB before, %ld KiB stalled; VmHWM %ld KiB\n", rssBefore,
              rssStalled, peak);
  EXPECT_LT(peak - rssBefore, 64 * 1024) << "the task buffered what the host did not read";
}

// ---- Malformed frames among good ones ----

class MalformedFramesTest : public FaultTest, public ::testing::WithParamInterface<bool> {};

TEST_P(MalformedFramesTest, OnlyTheGoodOnesAreAnswered) {
  const bool oneWrite = GetParam();
  const std::string settings = StringElement("getCameraSettings");
  const std::string keyA = StringElement("a");

  // Each bad frame asks for the settings under an id of its own, so a
  // dispatch would show as an "ok" carrying that id.
  struct Bad {
    int32_t id;
    std::string bytes;
  };
  const std::vector<Bad> bad = {
      {1001, Frame(1001, settings, Int32(5) + Int32(1) + Int32(9) + NilElement())},  // key tag 9
      {1002, Frame(1002, settings, Int32(5) + Int32(1) + keyA + Int32(4) + Int32(-5))},
      {1003, Frame(1003, settings, NestedTables(kZyMaxTableDepth + 1))},
      {1004, Frame(1004, Int32(7) + settings, NilElement())},          // name tag 7
      {1005, Frame(1005, settings, Int32(0) + Int32(12345))},          // payload tag 0
      {1006, FrameWithLength(-1, 1006, settings, NilElement())},       // negative length
      {1007, Frame(1007, settings, Int32(-2) + keyA)},                 // payload tag -2
  };
  std::vector<std::string> good;
  for (size_t i = 0; i <= bad.size(); ++i) {
    const auto id = static_cast<int32_t>(i + 1);
    // One of them nests as deep as is allowed.
    good.push_back(i == 3 ? Frame(id, settings, NestedTables(kZyMaxTableDepth))
                          : Frame(id, settings, NilElement()));
  }

  startTask();
  expect("deviceAdded");
  std::string all;
  for (size_t i = 0; i < good.size(); ++i) {
    if (oneWrite) {
      all += good[i];
      if (i < bad.size()) all += bad[i].bytes;
      continue;
    }
    // Each good frame cut short, then completed by the next write.
    const size_t half = good[i].size() / 2;
    ASSERT_TRUE(task().sendRaw(good[i].substr(0, half)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(task().sendRaw(good[i].substr(half)));
    if (i < bad.size()) {
      ASSERT_TRUE(task().sendRaw(bad[i].bytes));
    }
  }
  if (oneWrite) {
    ASSERT_TRUE(task().sendRaw(all));
  }

  // The last good frame comes after every bad one: once it is answered,
  // everything before it has been dealt with.
  const auto lastGood = static_cast<int32_t>(good.size());
  std::vector<int32_t> answered;
  for (;;) {
    HostMessage ok = expect("ok");
    if (ok.name.empty()) break;
    answered.push_back(ok.id);
    if (ok.id == lastGood) break;
  }
  ASSERT_TRUE(task().sendWithId(9999, "getCaptureInfo", nullptr));
  ASSERT_TRUE(waitForLog("getCaptureInfoWithMessageId"));
  for (const HostMessage& m : drain()) {
    if (m.name == "ok") answered.push_back(m.id);
  }

  std::vector<int32_t> expected;
  for (int32_t id = 1; id <= lastGood; ++id) expected.push_back(id);
  EXPECT_EQ(answered, expected);
  const std::string log = taskLog();
  EXPECT_EQ(logCount("Received message: getCameraSettings"), good.size()) << log;
  for (const Bad& b : bad) {
    EXPECT_EQ(logCount("dropping malformed message " + std::to_string(b.id) + ":"), 1u)
        << "frame " << b.id << "\n" << log;
  }

  ASSERT_GT(task().send("shutdown", nullptr), 0);
  ExpectCleanExit(task());
}

INSTANTIATE_TEST_SUITE_P(Writes, MalformedFramesTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "OneWrite" : "WriteByWrite";
                         });

}  // namespace
}  // namespace tether_faults
