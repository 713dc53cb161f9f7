#include "host/session/TetherSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/host/host_test_support.h"

namespace tether_host {
namespace {

using tether_host_test::ReadFile;
using tether_host_test::ScratchDir;

// What a live page or status line would see, as lines.
class Recorder : public TetherObserver {
 public:
  void cameraChanged(const std::string& name) override { add("camera " + name); }
  void settingsChanged(const SettingsTexts& s) override { add("settings " + s.iso + " " + s.shutter); }
  void captureAnnounced(const CaptureAnnounced& c) override {
    add("picture " + std::to_string(c.number) + " " + c.cameraName);
  }
  void fileSaved(const FileSaved& f) override {
    add("saved " + std::to_string(f.number) + " " + fileKindName(f.kind) + " " +
        f.path.substr(f.path.find_last_of('/') + 1));
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mLines;
  }

 private:
  void add(const std::string& line) {
    std::lock_guard<std::mutex> lock(mMutex);
    mLines.push_back(line);
  }
  std::mutex mMutex;
  std::vector<std::string> mLines;
};

TetherOptions FakeSession(const ScratchDir& dir, int count) {
  TetherOptions options;
  options.outDir = dir.path() + "/out";
  options.count = count;
  options.launch.taskPath = FAKE_TASK_PATH;
  options.launch.taskLogPath = dir.path() + "/task.log";
  options.launch.environment = {"TMPDIR=" + dir.sub("tmp"), "FAKE_TASK_MODE="};
  return options;
}

// Requests from another thread, made before there is a camera, are sent
// once it comes; every observer sees the same events in order.
TEST(TetherSessionTest, RequestsFromAnyThreadWaitForTheCameraAndEveryObserverHearsAll) {
  ScratchDir dir;
  TetherSession session(FakeSession(dir, 2));
  Recorder first, second;
  session.addObserver(&first);
  session.addObserver(&second);
  std::thread requester([&] {
    session.requestCapture();
    session.requestCapture();
  });
  requester.join();
  const TetherResult result = session.run();
  EXPECT_EQ(result.end, TetherResult::End::kCountReached) << result.message;
  EXPECT_TRUE(result.allSaved());
  EXPECT_TRUE(result.leftovers.empty());
  EXPECT_EQ(result.saved.files.size(), 6u);
  EXPECT_EQ(first.lines(), (std::vector<std::string>{
                               "camera Orvak K1", "settings 400 1/125", "picture 1 IMG_0001.dng",
                               "saved 1 thumbnail IMG_0001.thumb.jpg", "saved 1 dng IMG_0001.dng",
                               "saved 1 jpeg IMG_0001.jpg", "picture 2 IMG_0002.dng",
                               "saved 2 thumbnail IMG_0002.thumb.jpg", "saved 2 dng IMG_0002.dng",
                               "saved 2 jpeg IMG_0002.jpg"}));
  EXPECT_EQ(second.lines(), first.lines());
  EXPECT_EQ(ReadFile(result.taskLogPath), "fake task started\n");
}

// A request from another thread gets the reply with its own id, and that
// reply is its caller's alone (not taken for a settings report); once the
// session is over, a request hears at once that no reply comes.
TEST(TetherSessionTest, ARequestsReplyGoesToItsCallerAndAfterTheEndNoneComes) {
  ScratchDir dir;
  TetherSession session(FakeSession(dir, 0));
  Recorder recorder;
  session.addObserver(&recorder);
  std::string replied;
  session.request("getCameraSettings", nullptr, [&](const HostMessage* reply) {
    const int iso = reply == nullptr ? 0 : static_cast<int>(reply->number("isoSpeed").value_or(0));
    replied = reply == nullptr ? "none" : reply->name + " " + std::to_string(reply->id) + " " + std::to_string(iso);
    session.requestStop();
  });
  session.run();
  EXPECT_EQ(replied, "ok 1 400");  // sent before the camera's own getCameraSettings (id 2)
  const std::vector<std::string> lines = recorder.lines();  // the camera's own settings reply at most
  EXPECT_LE(std::count(lines.begin(), lines.end(), "settings 400 1/125"), 1);
  bool heard = false;
  session.request("getCameraSettings", nullptr, [&](const HostMessage* reply) { heard = reply == nullptr; });
  EXPECT_TRUE(heard);
}

TEST(TetherSessionTest, AStopFromAnotherThreadEndsTheSessionInOrder) {
  ScratchDir dir;
  TetherSession session(FakeSession(dir, 0));
  Recorder recorder;
  session.addObserver(&recorder);
  std::thread stopper([&] {
    // Once the camera is there, so that the stop meets a running session.
    while (recorder.lines().empty()) std::this_thread::yield();
    session.requestStop();
  });
  const TetherResult result = session.run();
  stopper.join();
  EXPECT_EQ(result.end, TetherResult::End::kStopped) << result.message;
  EXPECT_TRUE(result.allSaved());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path() + "/tmp"));
}

// A picture the camera delivers while the task shuts down is still saved,
// heard by the observers and counted.
TEST(TetherSessionTest, APictureArrivingDuringShutdownIsSaved) {
  ScratchDir dir;
  TetherOptions options = FakeSession(dir, 0);
  options.launch.environment.back() = "FAKE_TASK_MODE=late";
  TetherSession session(options);
  Recorder recorder;
  session.addObserver(&recorder);
  std::thread stopper([&] {
    while (recorder.lines().empty()) std::this_thread::yield();
    session.requestStop();
  });
  const TetherResult result = session.run();
  stopper.join();
  EXPECT_EQ(result.end, TetherResult::End::kStopped) << result.message;
  EXPECT_EQ(result.saved.pictures, 1);
  EXPECT_EQ(result.saved.files.size(), 3u);
  EXPECT_TRUE(result.allSaved());
  EXPECT_TRUE(result.leftovers.empty());
  EXPECT_EQ(recorder.lines().back(), "saved 1 jpeg IMG_0001.jpg");
}

// A stop while a picture arrives waits for it and says so; a second one
// stops the task at once and says where the undelivered files stay.
TEST(TetherSessionTest, AStopFinishesThePictureArrivingAndASecondStopsAtOnce) {
  for (const int stops : {1, 2}) {
    ScratchDir dir;
    TetherOptions options = FakeSession(dir, 0);
    options.launch.environment.back() =
        std::string("FAKE_TASK_MODE=camerapress,holdfiles") + (stops == 2 ? ",stubborn" : "");
    Recorder said;  // the session's own lines, as "camera <line>"
    options.say = [&said](const std::string& line) { said.cameraChanged(line); };
    TetherSession session(options);
    Recorder recorder;
    session.addObserver(&recorder);
    std::thread stopper([&] {
      const auto seen = [](Recorder& r, const std::string& text) {
        for (const std::string& line : r.lines()) {
          if (line.find(text) != std::string::npos) return true;
        }
        return false;
      };
      while (!seen(recorder, "saved 1 thumbnail")) std::this_thread::yield();
      session.requestStop();
      if (stops == 1) return;
      while (!seen(said, "finishing picture 1")) std::this_thread::yield();
      session.requestStop();
    });
    const TetherResult result = session.run();
    stopper.join();
    const std::vector<std::string> lines = said.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "camera finishing picture 1... (Ctrl-C again to stop now)");
    if (stops == 1) {
      EXPECT_TRUE(result.allSaved());
      EXPECT_EQ(result.saved.files.size(), 3u);
      EXPECT_TRUE(result.leftovers.empty());
    } else {
      ASSERT_EQ(lines.size(), 2u);
      EXPECT_EQ(lines[1].rfind("camera stopping now; what the camera had not delivered stays in " +
                                   dir.path() + "/tmp/tether-session-", 0),
                0u)
          << lines[1];
      ASSERT_EQ(result.leftovers.size(), 1u);
      EXPECT_EQ(result.leftovers[0].substr(result.leftovers[0].size() - 15), "/TetherTMP1.DNG");
      EXPECT_EQ(result.saved.incomplete.size(), 1u);
    }
  }
}

}  // namespace
}  // namespace tether_host
