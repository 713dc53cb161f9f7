// The camera SDK calling back from several threads while the host keeps
// sending: during a burst of host commands, after the camera has gone, and
// while the task stops. Every frame must arrive whole and every reply must
// answer a request that was sent, once.
#include <atomic>
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

using tether_host::HostMessage;
using tether_host::TaskProcess;

// A control client on a thread of its own that sends `commands` in turn,
// `rounds` times over, or until stop() or until the socket is gone.
class CommandLoop {
 public:
  CommandLoop(const std::string& socket, std::vector<std::string> commands, int rounds)
      : mCommands(std::move(commands)) {
    mThread = std::thread([this, socket, rounds] { Run(socket, rounds); });
  }
  ~CommandLoop() { join(); }

  void stop() { mStop = true; }
  void join() {
    if (mThread.joinable()) mThread.join();
  }
  bool done() const { return mDone; }
  int succeeded() const { return mSucceeded; }
  bool lostSocket() const { return mLostSocket; }
  bool connected() const { return mConnected; }

 private:
  void Run(const std::string& socket, int rounds) {
    krv_sim::ControlClient client;
    std::string error;
    mConnected = client.connect(socket, &error);
    for (int round = 0; mConnected && round < rounds && !mStop && !mLostSocket; ++round) {
      for (const std::string& command : mCommands) {
        const std::string reply = client.command(command);
        if (reply.rfind("error io", 0) == 0) {
          mLostSocket = true;  // the SDK has shut down
          break;
        }
        if (krv_sim::ControlClient::isOk(reply)) ++mSucceeded;
      }
    }
    mDone = true;
  }

  std::vector<std::string> mCommands;
  std::atomic<bool> mStop{false};
  std::atomic<bool> mDone{false};
  std::atomic<bool> mConnected{false};
  std::atomic<bool> mLostSocket{false};
  std::atomic<int> mSucceeded{0};
  std::thread mThread;
};

const std::set<std::string> kNotificationNames = {
    "ok", "deviceAdded", "deviceRemoved", "objectWasAdded", "thumbnailWasDownloaded",
    "fileDownloadComplete", "cameraSettingsChanged"};

// What the host has received, by kind.
struct Tally {
  std::multiset<int32_t> okIds;
  std::multiset<int> objectIds, thumbnailIds, fileIds;
  int settingsChanged = 0;
  std::vector<std::string> filePaths;

  void Add(const HostMessage& m) {
    EXPECT_EQ(kNotificationNames.count(m.name), 1u) << "unexpected message " << m.name;
    if (m.name != "ok") {
      EXPECT_EQ(m.id, 0) << m.name;
    }
    if (m.name == "ok") okIds.insert(m.id);
    const int captureId = static_cast<int>(m.number("capture_id").value_or(-1));
    if (m.name == "objectWasAdded") objectIds.insert(captureId);
    if (m.name == "thumbnailWasDownloaded") thumbnailIds.insert(captureId);
    if (m.name == "fileDownloadComplete") {
      fileIds.insert(captureId);
      filePaths.push_back(m.string("file_path").value_or(""));
    }
    if (m.name == "cameraSettingsChanged") ++settingsChanged;
  }
};

std::multiset<int> OneToN(int n) {
  std::multiset<int> out;
  for (int i = 1; i <= n; ++i) out.insert(i);
  return out;
}

TEST_F(FaultTest, CallbacksFromSeveralThreadsDuringAHostBurst) {
  constexpr int kRequests = 1000;
  constexpr int kHostCaptures = 5;
  constexpr int kControlCaptures = 10;
  constexpr int32_t kFirstRequestId = 10000;
  // Host captures call back on the task's main thread, from inside
  // KRV_SDK_capture; everything the control socket causes comes from the
  // SDK's worker. Replies are written by the main thread in between.
  startTask({"KRV_SIM_SYNC_CALLBACKS=1"});
  expect("deviceAdded");

  Tally tally;
  CommandLoop bursts(controlPath(), {"burst 20"}, 10);
  CommandLoop captures(controlPath(), {"capture"}, kControlCaptures);
  CommandLoop events(controlPath(),
                     {"event 9 size 16", "event 6", "event 10 size 4", "set 32 5200",
                      "event 2 null 4096", "set-raw 7 size 4"},
                     20);

  auto readAvailable = [&] {
    HostMessage m;
    TaskProcess::ReadStatus status;
    while ((status = task().read(&m, 0)) == TaskProcess::ReadStatus::kMessage) tally.Add(m);
    ASSERT_EQ(status, TaskProcess::ReadStatus::kTimeout) << task().error();
  };
  for (int i = 0; i < kRequests; ++i) {
    ASSERT_TRUE(task().sendWithId(kFirstRequestId + i, "getCameraSettings", nullptr));
    if (i % (kRequests / kHostCaptures) == 0) {
      ASSERT_TRUE(task().sendWithId(20000 + i, "doCapture", nullptr));
    }
    if (i % 25 == 0) readAvailable();
  }

  constexpr int kCaptures = kHostCaptures + kControlCaptures;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEventTimeoutMs);
  while (!(bursts.done() && captures.done() && events.done() &&
           tally.okIds.size() == static_cast<size_t>(kRequests) &&
           tally.objectIds.size() == static_cast<size_t>(kCaptures) &&
           tally.fileIds.size() == static_cast<size_t>(2 * kCaptures))) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "messages missing";
    HostMessage m;
    const auto status = task().read(&m, 100);
    if (status == TaskProcess::ReadStatus::kTimeout) continue;
    ASSERT_EQ(status, TaskProcess::ReadStatus::kMessage) << task().error();
    tally.Add(m);
  }
  EXPECT_EQ(captures.succeeded(), kControlCaptures);
  EXPECT_EQ(bursts.succeeded(), 10);
  // A last request: whatever the main thread had queued to send is out
  // before its answer.
  constexpr int32_t kFenceId = 99999;
  ASSERT_TRUE(task().sendWithId(kFenceId, "getCameraSettings", nullptr));
  for (;;) {
    HostMessage m = expect("ok");
    for (const HostMessage& other : takeSeen()) tally.Add(other);
    if (m.name.empty() || m.id == kFenceId) break;
    tally.Add(m);
  }

  std::multiset<int32_t> sent;
  for (int i = 0; i < kRequests; ++i) sent.insert(kFirstRequestId + i);
  EXPECT_EQ(tally.okIds, sent);
  // Thumbnails from two threads may reach the pipe in either order, but each
  // capture id is issued once.
  EXPECT_EQ(tally.objectIds, OneToN(kCaptures));
  EXPECT_EQ(tally.thumbnailIds, OneToN(kCaptures));
  for (int id : tally.fileIds) EXPECT_TRUE(id >= 1 && id <= kCaptures) << id;
  for (const std::string& path : tally.filePaths) {
    EXPECT_FALSE(FileBytes(path).empty()) << path;
  }
  EXPECT_GE(tally.settingsChanged, 1);

  ASSERT_GT(task().send("shutdown", nullptr), 0);
  ExpectCleanExit(task());
}

TEST_F(FaultTest, EventsAfterTheCameraHasGone) {
  constexpr int kThumbnails = 5;
  startTask();
  expect("deviceAdded");
  mustControl("disconnect");
  expect("deviceRemoved");
  Tally tally;
  for (const HostMessage& m : takeSeen()) tally.Add(m);

  {
    // The SDK keeps calling the callbacks it was given; the host keeps asking
    // for settings that no camera can answer.
    CommandLoop changes(controlPath(), {"set 10 800", "burst 5"}, 20);
    CommandLoop transfers(controlPath(),
                          {"event 8 text IMG_9", "event 1 size 64", "event 4 size 128",
                           "event 5 size 32"},
                          kThumbnails);
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(task().sendWithId(30000 + i, "getCameraSettings", nullptr));
    while (!(changes.done() && transfers.done())) {
      HostMessage m;
      const auto status = task().read(&m, 100);
      if (status == TaskProcess::ReadStatus::kTimeout) continue;
      ASSERT_EQ(status, TaskProcess::ReadStatus::kMessage) << task().error();
      tally.Add(m);
    }
    EXPECT_EQ(transfers.succeeded(), 4 * kThumbnails);
  }

  // Every request must have been dispatched while no camera was there
  // (dispatch waits 0.1 s; a slow run may still be behind the SDK events).
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kEventTimeoutMs);
  while (logCount("Received message: getCameraSettings") < 200u &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(logCount("Received message: getCameraSettings"), 200u);

  // The camera comes back and is answered as before.
  mustControl("flush");
  mustControl("connect 8241");
  expect("deviceAdded");
  ASSERT_TRUE(task().sendWithId(777, "getCameraSettings", nullptr));
  EXPECT_EQ(expect("ok").id, 777);
  for (const HostMessage& m : takeSeen()) tally.Add(m);

  EXPECT_TRUE(tally.okIds.empty()) << "a settings reply without a camera";
  EXPECT_EQ(tally.objectIds, OneToN(kThumbnails));
  EXPECT_EQ(tally.thumbnailIds, OneToN(kThumbnails));
  // With no camera the file format cannot be read, and both ends are kept.
  std::multiset<int> twice = OneToN(kThumbnails);
  for (int id = 1; id <= kThumbnails; ++id) twice.insert(id);
  EXPECT_EQ(tally.fileIds, twice);
  EXPECT_GE(tally.settingsChanged, 1);
  EXPECT_EQ(logCount("Received message: getCameraSettings"), 201u);

  ASSERT_GT(task().send("shutdown", nullptr), 0);
  ExpectCleanExit(task());
}

TEST_F(FaultTest, StopSequenceUnderFire) {
  startTask();
  expect("deviceAdded");
  Tally tally;
  constexpr int kForever = 1 << 30;
  CommandLoop bursts(controlPath(), {"burst 5"}, kForever);
  CommandLoop captures(controlPath(), {"capture"}, kForever);
  CommandLoop events(controlPath(), {"event 9 size 8", "set 10 200", "event 1 size 32"}, kForever);

  // Keep reading until every client is under way.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEventTimeoutMs);
  while (bursts.succeeded() < 3 || captures.succeeded() < 3 || events.succeeded() < 3) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    HostMessage m;
    const auto status = task().read(&m, 20);
    if (status == TaskProcess::ReadStatus::kTimeout) continue;
    ASSERT_EQ(status, TaskProcess::ReadStatus::kMessage) << task().error();
    tally.Add(m);
  }

  std::set<int32_t> sent;
  for (int i = 0; i < 20; ++i) {
    const int32_t id = task().send("getCameraSettings", nullptr);
    ASSERT_GT(id, 0);
    sent.insert(id);
  }
  ASSERT_GT(task().send("shutdown", nullptr), 0);

  // Everything up to the end of the output parses; the output ends on a
  // frame boundary (a torn last frame reads as a bad frame).
  for (;;) {
    HostMessage m;
    const auto status = task().read(&m, kEventTimeoutMs);
    if (status == TaskProcess::ReadStatus::kEndOfOutput) break;
    ASSERT_EQ(status, TaskProcess::ReadStatus::kMessage) << task().error();
    tally.Add(m);
  }
  const bool exited = task().waitForExit(kEventTimeoutMs);
  if (!exited) task().terminate();  // so that the clients' sockets close
  bursts.stop();
  captures.stop();
  events.stop();
  bursts.join();
  captures.join();
  events.join();
  ASSERT_TRUE(exited) << "the task did not end";
  EXPECT_TRUE(task().exitStatus().success()) << task().exitStatus().describe();

  for (int32_t id : tally.okIds) EXPECT_EQ(sent.count(id), 1u) << "ok for id " << id;
  EXPECT_EQ(std::set<int32_t>(tally.okIds.begin(), tally.okIds.end()).size(), tally.okIds.size());
  // Capture ids were issued once each, without gaps.
  std::set<int> objects(tally.objectIds.begin(), tally.objectIds.end());
  EXPECT_EQ(objects.size(), tally.objectIds.size());
  if (!objects.empty()) {
    EXPECT_EQ(*objects.rbegin(), static_cast<int>(objects.size()));
  }
  const std::string log = taskLog();
  EXPECT_NE(log.find("application received willShutdown notification"), std::string::npos);
  const std::string counts = countsAtExit();
  EXPECT_NE(counts.find("requestClose=1"), std::string::npos) << counts;
  EXPECT_NE(counts.find(" exit=1"), std::string::npos) << counts;
}

}  // namespace
}  // namespace tether_faults
