#include "platform/Application.h"

#include <fcntl.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"

namespace zy {
namespace {

using ::testing::ElementsAre;
using ::testing::ExitedWithCode;

// terminate() happens once per process, so every case that calls it runs in a
// death-test child. Children report on stderr, which the parent matches.
void Report(const std::string& line) {
  std::fprintf(stderr, "%s;\n", line.c_str());
  std::fflush(stderr);
}

// Reports each will-terminate notification: its count, whether its object
// is the application and whether it arrived on the main thread.
int gWillTerminatePosts = 0;
void ObserveWillTerminate(std::function<void()> alsoDo = nullptr) {
  static int observer;
  NotificationCenter::defaultCenter().addObserver(
      &observer,
      [alsoDo](const Notification& n) {
        ++gWillTerminatePosts;
        Report("will-terminate #" + std::to_string(gWillTerminatePosts) +
               (n.object == &Application::shared() ? " from-app" : " from-elsewhere") +
               (RunLoop::isMainThread() ? " on-main" : " off-main"));
        if (alsoDo) alsoDo();
      },
      std::string(kApplicationWillTerminateNotification), nullptr);
}

TEST(ApplicationTest, NotificationNameIsThePlatformOne) {
  EXPECT_STREQ(kApplicationWillTerminateNotification, "NSApplicationWillTerminateNotification");
  EXPECT_EQ(&Application::shared(), &Application::shared());
}

TEST(ApplicationDeathTest, TerminatePostsWillTerminateThenExitsWithZero) {
  RunLoop::main();
  EXPECT_EXIT(
      {
        ObserveWillTerminate();
        Application::shared().terminate(nullptr);
      },
      ExitedWithCode(0), "will-terminate #1 from-app on-main;");
}

// Before the process ends, stderr is flushed: a partial line buffered in
// stdio still reaches the log.
TEST(ApplicationDeathTest, ExitFlushesBufferedStandardError) {
  RunLoop::main();
  EXPECT_EXIT(
      {
        std::setvbuf(stderr, nullptr, _IOFBF, 4096);
        std::fprintf(stderr, "buffered-before-exit");
        Application::shared().terminate(nullptr);
      },
      ExitedWithCode(0), "buffered-before-exit");
}

TEST(ApplicationDeathTest, TerminateDuringWillTerminateNeitherPostsAgainNorRecurses) {
  RunLoop::main();
  EXPECT_EXIT(
      {
        Application::shared().setExitFunction([](int status) {
          Report("exit " + std::to_string(status) + " after " +
                 std::to_string(gWillTerminatePosts) + " posts");
          ::_exit(status);
        });
        ObserveWillTerminate([] { Application::shared().terminate(nullptr); });
        Application::shared().terminate(nullptr);
      },
      ExitedWithCode(0), "will-terminate #1 from-app on-main;\nexit 0 after 1 posts;");
}

struct ExitRequested {
  int status;
};

// The seam lets a test end "the process" by throwing out of the run loop,
// from a task that calls terminate() as the host's "shutdown" would.
TEST(ApplicationDeathTest, ThrowingExitSeamLeavesTheRunLoopFromATask) {
  RunLoop::main();
  EXPECT_EXIT(
      {
        Application::shared().setExitFunction([](int status) { throw ExitRequested{status}; });
        ObserveWillTerminate();
        bool after = false;
        RunLoop::main().performOnMainThread([] { Application::shared().terminate(nullptr); });
        RunLoop::main().performOnMainThread([&] { after = true; });
        try {
          RunLoop::main().run();
          Report("run returned");
        } catch (const ExitRequested& exit) {
          Report("exit " + std::to_string(exit.status) + " thrown" +
                 (after ? ", later task ran" : ", later task not run"));
        }
        ::_exit(0);
      },
      ExitedWithCode(0), "will-terminate #1 from-app on-main;\nexit 0 thrown, later task not run;");
}

TEST(ApplicationDeathTest, ExitSeamThatReturnsAborts) {
  RunLoop::main();
  EXPECT_DEATH(
      {
        Application::shared().setExitFunction([](int) {});
        Application::shared().terminate(nullptr);
      },
      "exit function returned");
}

TEST(ApplicationDeathTest, TerminateFromAnotherThreadEndsOnTheMainThread) {
  RunLoop::main();
  EXPECT_EXIT(
      {
        ObserveWillTerminate();
        std::thread([] { Application::shared().terminate(nullptr); }).detach();
        RunLoop::main().run();
        Report("run returned");
      },
      ExitedWithCode(0), "will-terminate #1 from-app on-main;");
}

// A delegate that records its life in `events`.
class RecordingDelegate : public ApplicationDelegate {
 public:
  RecordingDelegate(std::vector<std::string>* events, int readableFd,
                    std::function<void(RecordingDelegate*)> onLaunch)
      : mEvents(events), mOnLaunch(std::move(onLaunch)) {
    mEvents->push_back(RunLoop::isMainThread() ? "created on main" : "created off main");
    // Work scheduled while being built, all of it ready at once.
    RunLoop::main().performOnMainThread([this] { mEvents->push_back("posted"); });
    RunLoop::main().performAfterDelay(0, [this] { mEvents->push_back("timer"); });
    RunLoop::main().watchReadableOnce(readableFd, [this] { mEvents->push_back("readable"); });
  }
  ~RecordingDelegate() override { mEvents->push_back("destroyed"); }

  void applicationDidFinishLaunching() override {
    mEvents->push_back("launched");
    if (mOnLaunch) mOnLaunch(this);
  }

 private:
  std::vector<std::string>* mEvents;
  std::function<void(RecordingDelegate*)> mOnLaunch;
};

TEST(ApplicationMainTest, LaunchesBeforeAnyEventAndReturnsZeroWhenStopped) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  std::vector<std::string> events;
  int made = 0;
  char arg0[] = "tether-task";
  char* argv[] = {arg0, nullptr};
  int result = ApplicationMain(1, argv, [&]() -> ApplicationDelegate* {
    ++made;
    events.push_back("make");
    return new RecordingDelegate(&events, fds[0], [&](RecordingDelegate*) {
      RunLoop::main().performAfterDelay(0.05, [] { RunLoop::main().stop(); });
    });
  });
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(made, 1);
  ASSERT_GE(events.size(), 3u);
  EXPECT_THAT(std::vector<std::string>(events.begin(), events.begin() + 3),
              ElementsAre("make", "created on main", "launched"));
  EXPECT_THAT(std::vector<std::string>(events.begin() + 3, events.end()),
              ::testing::UnorderedElementsAre("posted", "timer", "readable", "destroyed"));
  EXPECT_EQ(events.back(), "destroyed");
}

// The way the task ends in practice: a task of the running loop (the
// "shutdown" command) terminates the application inside ApplicationMain.
void RunTaskThatTerminates() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) ::_exit(3);
  std::vector<std::string> events;
  ObserveWillTerminate();
  char arg0[] = "tether-task";
  char* argv[] = {arg0, nullptr};
  ApplicationMain(1, argv, [&]() -> ApplicationDelegate* {
    return new RecordingDelegate(&events, fds[0], [](RecordingDelegate* self) {
      RunLoop::main().performAfterDelay(0.01, [self] { Application::shared().terminate(self); });
    });
  });
  Report("ApplicationMain returned");
}

// The way the task ends in practice: a task of the running loop (the
// "shutdown" command) terminates the application inside ApplicationMain.
TEST(ApplicationMainDeathTest, TerminateFromTheRunningLoopEndsTheProcess) {
  RunLoop::main();
  EXPECT_EXIT(RunTaskThatTerminates(), ExitedWithCode(0), "will-terminate #1 from-app on-main;");
}

}  // namespace
}  // namespace zy
