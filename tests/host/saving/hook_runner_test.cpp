#include "host/saving/HookRunner.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/host/host_test_support.h"

namespace tether_host {
namespace {

using tether_host_test::ReadFile;
using tether_host_test::ScratchDir;

FileSaved Saved(int id) {
  FileSaved file;
  file.captureId = id;
  file.kind = FileKind::kRaw;
  file.path = "/pictures/IMG_" + std::to_string(id) + ".dng";
  return file;
}

// A hook that is still running never holds the session up: files beyond
// the queue's bound are dropped at once, and said to be.
TEST(HookRunnerTest, ASlowHookNeitherBlocksNorGrowsTheQueue) {
  ScratchDir dir;
  const std::string started = dir.path() + "/started", release = dir.path() + "/release";
  const std::string log = dir.path() + "/ran";
  // The first run waits for `release`; every run appends its argument.
  const std::string hook = "f() { touch " + started + "; while [ ! -e " + release +
                           " ]; do sleep 0.01; done; echo \"$TETHER_CAPTURE_ID $TETHER_FILE_KIND $1\" >> " + log + "; }; f";
  std::mutex mutex;
  std::vector<std::string> said;
  HookRunner runner(hook, [&](const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex);
    said.push_back(line);
  });
  runner.fileSaved(Saved(0));
  for (int i = 0; i < 2000 && access(started.c_str(), F_OK) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // a hang guard, not a timing
  }
  ASSERT_EQ(access(started.c_str(), F_OK), 0) << "the hook never ran";
  const int extra = 6;
  for (int id = 1; id <= static_cast<int>(HookRunner::kQueueLimit) + extra; ++id) runner.fileSaved(Saved(id));
  EXPECT_EQ(runner.dropped(), extra);
  {
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(said.size(), static_cast<size_t>(extra));
    EXPECT_NE(said[0].find("/pictures/IMG_65.dng"), std::string::npos) << said[0];
  }
  tether_host_test::WriteFile(release, "");
  runner.finish();
  const std::string ran = ReadFile(log);
  EXPECT_EQ(std::count(ran.begin(), ran.end(), '\n'), static_cast<long>(HookRunner::kQueueLimit) + 1);
  EXPECT_NE(ran.find("0 dng /pictures/IMG_0.dng\n"), std::string::npos) << ran;
  EXPECT_NE(ran.find("64 dng /pictures/IMG_64.dng\n"), std::string::npos) << ran;
}

}  // namespace
}  // namespace tether_host
