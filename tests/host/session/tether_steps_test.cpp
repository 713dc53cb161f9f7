// The setting keys of `tether` through TetherSession::requestStep, against
// the real task and its simulated camera (ISO 400 of 100..6400, shutter
// 1/125 of Bulb..1/1000).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/session/TetherSession.h"
#include "tests/host/host_test_support.h"

namespace tether_host {
namespace {

using tether_host_test::ScratchDir;

// The settings lines an observer sees and the lines the session says.
class Lines : public TetherObserver {
 public:
  void settingsChanged(const SettingsTexts& s) override { add("settings " + s.iso + " " + s.shutter); }
  void add(const std::string& line) {
    std::lock_guard<std::mutex> lock(mMutex);
    mLines.push_back(line);
  }
  bool has(const std::string& line) {
    std::lock_guard<std::mutex> lock(mMutex);
    return std::find(mLines.begin(), mLines.end(), line) != mLines.end();
  }
  // Bounded: the task answers each step within its 2 s confirmation wait.
  bool waitFor(const std::string& line) {
    for (int i = 0; i < 3000 && !has(line); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return has(line);
  }

 private:
  std::mutex mMutex;
  std::vector<std::string> mLines;
};

TEST(TetherStepsTest, StepsFollowTheChoicesStopAtTheEndAndSayWhy) {
  ScratchDir dir;
  Lines lines;
  TetherOptions options;
  options.outDir = dir.path() + "/out";
  options.launch.taskPath = TETHER_TASK_PATH;
  options.launch.taskLogPath = dir.path() + "/task.log";
  options.launch.environment = {"TMPDIR=" + dir.sub("tmp"), "KRV_SIM_CONNECT_DELAY_MS=0"};
  options.say = [&lines](const std::string& line) { lines.add("said " + line); };
  TetherSession session(options);
  session.addObserver(&lines);
  std::thread keys([&] {
    if (lines.waitFor("settings 400 1/125")) {
      session.requestStep(TetherSession::kStepIso, +1);
      if (lines.waitFor("settings 800 1/125")) {
        for (int i = 0; i < 5; ++i) session.requestStep(TetherSession::kStepIso, +1);
        if (lines.waitFor("settings 6400 1/125")) {
          session.requestStep(TetherSession::kStepIso, +1);
          session.requestStep(TetherSession::kStepShutter, -1);
          lines.waitFor("settings 6400 1/250");
        }
      }
    }
    session.requestStop();
  });
  const TetherResult result = session.run();
  keys.join();
  EXPECT_EQ(result.end, TetherResult::End::kStopped) << result.message;
  EXPECT_TRUE(lines.has("settings 800 1/125"));
  EXPECT_TRUE(lines.has("settings 6400 1/125"));
  EXPECT_TRUE(lines.has("said ISO: no further choice that way"));
  EXPECT_TRUE(lines.has("settings 6400 1/250"));
}

}  // namespace
}  // namespace tether_host
