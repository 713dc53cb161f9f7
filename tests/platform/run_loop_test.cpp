#include "platform/RunLoop.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/platform_test_util.h"

namespace zy {
namespace {

using ::testing::ElementsAre;

using platform_test::BindMainLoop;
using platform_test::Pipe;
const auto* const kBindMainLoop = ::testing::AddGlobalTestEnvironment(new BindMainLoop);

// Every test runs the one main loop on the test's main thread; each leaves no
// timer or watch that outlives its locals.
RunLoop& Loop() { return RunLoop::main(); }

TEST(RunLoopTest, MainLoopBelongsToTheFirstCallingThread) {
  RunLoop& loop = Loop();
  EXPECT_EQ(&loop, &RunLoop::main());
  EXPECT_TRUE(RunLoop::isMainThread());
  bool elsewhere = true;
  std::thread([&] { elsewhere = RunLoop::isMainThread(); }).join();
  EXPECT_FALSE(elsewhere);
}

TEST(RunLoopTest, DelayedCallsRunInTheOrderOfTheirTimes) {
  std::vector<std::string> order;
  Loop().performAfterDelay(0.15, [&] { order.push_back("c"); });
  Loop().performAfterDelay(0, [&] { order.push_back("a"); });
  Loop().performAfterDelay(0.05, [&] { order.push_back("b"); });
  Loop().performAfterDelay(0, [&] { order.push_back("a2"); });
  Loop().performAfterDelay(-3, [&] { order.push_back("a3"); });  // "now"
  Loop().performAfterDelay(0.1, [&] {
    order.push_back("d");
    Loop().performAfterDelay(0, [&] { order.push_back("d2"); });
  });
  ASSERT_TRUE(Loop().runUntil([&] { return order.size() == 7; }, 10));
  // "d2" is due when "d" runs; whether that is before or after "c" is due
  // depends on how late a loaded machine runs "d", so only its place after
  // "d" is fixed. Every other call has a time fixed when it was scheduled.
  const auto d2 = std::find(order.begin(), order.end(), "d2");
  ASSERT_NE(d2, order.end());
  EXPECT_GT(d2 - order.begin(), std::find(order.begin(), order.end(), "d") - order.begin());
  order.erase(d2);
  EXPECT_THAT(order, ElementsAre("a", "a2", "a3", "b", "d", "c"));
}

TEST(RunLoopTest, RepeatingTimerTicksUntilInvalidated) {
  int ticks = 0, otherTicks = 0;
  RunLoop::TimerId self = 0;
  self = Loop().scheduleRepeatingTimer(0.005, [&] {
    if (++ticks == 5) Loop().invalidateTimer(self);  // from inside its own tick
  });
  RunLoop::TimerId other = Loop().scheduleRepeatingTimer(0.005, [&] { ++otherTicks; });
  ASSERT_TRUE(Loop().runUntil([&] { return ticks == 5 && otherTicks >= 3; }, 10));
  Loop().invalidateTimer(other);
  int otherSeen = otherTicks;
  Loop().runUntil([] { return false; }, 0.05);
  EXPECT_EQ(ticks, 5);
  EXPECT_EQ(otherTicks, otherSeen);
  Loop().invalidateTimer(other);  // twice, and unknown ids, are ignored
  Loop().invalidateTimer(123456789);
}

// After a task that holds the loop for many intervals, the timer fires once
// and then waits for its next tick: a call posted by that first late tick runs
// before the timer fires again.
TEST(RunLoopTest, TimerThatFellBehindDoesNotFireInABurst) {
  std::vector<std::string> events;
  bool stalled = false;
  RunLoop::TimerId timer = Loop().scheduleRepeatingTimer(0.02, [&] {
    events.push_back("tick");
    if (stalled && events.size() == 1) {
      Loop().performOnMainThread([&] { events.push_back("posted"); });
    }
  });
  Loop().performAfterDelay(0.005, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // 15 intervals
    stalled = true;
    events.clear();
  });
  ASSERT_TRUE(Loop().runUntil([&] { return events.size() >= 3; }, 10));
  Loop().invalidateTimer(timer);
  EXPECT_THAT(events, ElementsAre("tick", "posted", "tick"));
}

TEST(RunLoopTest, PostsFromManyThreadsAllArriveInPerThreadOrder) {
  constexpr int kThreads = 8;
  constexpr int kPosts = 5000;
  std::vector<int> next(kThreads, 0);  // loop thread only
  int received = 0, outOfOrder = 0;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPosts; ++i) {
        Loop().performOnMainThread([&, t, i] {
          if (next[t] != i) ++outOfOrder;
          next[t] = i + 1;
          ++received;
        });
      }
    });
  }
  bool all = Loop().runUntil([&] { return received == kThreads * kPosts; }, 60);
  for (auto& poster : posters) poster.join();
  EXPECT_TRUE(all) << received << " of " << kThreads * kPosts << " delivered";
  EXPECT_EQ(outOfOrder, 0);
}

TEST(RunLoopTest, PostingNeverWaitsForABusyLoop) {
  std::promise<void> postedAll;
  auto posted = postedAll.get_future();
  int ran = 0;
  bool posterFinishedWhileLoopBusy = false;
  Loop().performOnMainThread([&] {
    std::thread poster([&] {
      for (int i = 0; i < 1000; ++i) Loop().performOnMainThread([&] { ++ran; });
      postedAll.set_value();
    });
    // The loop is busy in this task until the poster is done (or gives up).
    posterFinishedWhileLoopBusy =
        posted.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    poster.join();
  });
  ASSERT_TRUE(Loop().runUntil([&] { return ran == 1000; }, 30));
  EXPECT_TRUE(posterFinishedWhileLoopBusy);
}

TEST(RunLoopTest, StopFromAnotherThreadEndsRun) {
  bool fallback = false;
  // Ends a hung run if stop() were lost; never fires when stop() works.
  RunLoop::TimerId guard = Loop().scheduleRepeatingTimer(20, [&] {
    fallback = true;
    Loop().stop();
  });
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    Loop().stop();
  });
  Loop().run();
  stopper.join();
  EXPECT_FALSE(fallback);

  // A stop while no loop runs ends the next run at once.
  std::thread([] { Loop().stop(); }).join();
  Loop().run();
  EXPECT_FALSE(fallback);

  // A task may stop the loop that runs it; later tasks wait for the next run.
  bool later = false;
  Loop().performOnMainThread([] { Loop().stop(); });
  Loop().performOnMainThread([&] { later = true; });
  Loop().run();
  EXPECT_FALSE(later);
  EXPECT_TRUE(Loop().runUntil([&] { return later; }, 10));
  Loop().invalidateTimer(guard);
  EXPECT_FALSE(fallback);
}

TEST(RunLoopTest, RunUntilReportsWhetherTheConditionHeld) {
  EXPECT_FALSE(Loop().runUntil([] { return false; }, 0.02));
  EXPECT_TRUE(Loop().runUntil([] { return true; }, 0));
  bool flag = false;
  Loop().performAfterDelay(0.01, [&] { flag = true; });
  EXPECT_TRUE(Loop().runUntil([&] { return flag; }, 10));
}

TEST(RunLoopTest, NestedRunKeepsTheOrderOfPostedTasks) {
  std::vector<std::string> order;
  Loop().performOnMainThread([&] {
    order.push_back("a-start");
    Loop().runUntil([&] { return order.size() >= 2; }, 10);
    order.push_back("a-end");
  });
  Loop().performOnMainThread([&] { order.push_back("b"); });
  Loop().performOnMainThread([&] { order.push_back("c"); });
  ASSERT_TRUE(Loop().runUntil([&] { return order.size() == 4; }, 10));
  EXPECT_THAT(order, ElementsAre("a-start", "b", "a-end", "c"));
}

TEST(RunLoopTest, ExceptionFromATaskLeavesTheLoopUsable) {
  bool after = false;
  Loop().performOnMainThread([] { throw std::runtime_error("task failed"); });
  Loop().performOnMainThread([&] { after = true; });
  EXPECT_THROW(Loop().runUntil([] { return false; }, 10), std::runtime_error);
  EXPECT_TRUE(Loop().runUntil([&] { return after; }, 10));
}

TEST(RunLoopTest, WatchReadableFiresOncePerArming) {
  Pipe pipe;
  int fired = 0;
  Loop().watchReadableOnce(pipe.readEnd, [&] { ++fired; });
  EXPECT_FALSE(Loop().runUntil([&] { return fired > 0; }, 0.05));  // nothing to read yet
  std::thread writer([&] { EXPECT_EQ(::write(pipe.writeEnd, "xy", 2), 2); });
  ASSERT_TRUE(Loop().runUntil([&] { return fired == 1; }, 10));
  writer.join();
  // The bytes are still unread, yet the watch does not fire again unarmed.
  Loop().runUntil([] { return false; }, 0.05);
  EXPECT_EQ(fired, 1);
  Loop().watchReadableOnce(pipe.readEnd, [&] { ++fired; });
  ASSERT_TRUE(Loop().runUntil([&] { return fired == 2; }, 10));
  // End of file counts as readable.
  char buffer[2];
  ASSERT_EQ(::read(pipe.readEnd, buffer, 2), 2);
  Loop().watchReadableOnce(pipe.readEnd, [&] { ++fired; });
  pipe.closeWrite();
  ASSERT_TRUE(Loop().runUntil([&] { return fired == 3; }, 10));
}

double ThreadCpuSeconds() {
  struct rusage usage;
  ::getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A resource bound, not a timing test: a loop that polls instead of sleeping
// burns the whole second.
TEST(RunLoopTest, IdleLoopSleepsInTheKernel) {
  Pipe pipe;
  bool readable = false;
  Loop().watchReadableOnce(pipe.readEnd, [&] { readable = true; });
  int ticks = 0;
  RunLoop::TimerId timer = Loop().scheduleRepeatingTimer(0.05, [&] { ++ticks; });
  Loop().performAfterDelay(30, [] {});  // a far timer, as a service would have
  double before = ThreadCpuSeconds();
  Loop().runUntil([] { return false; }, 1.0);
  double used = ThreadCpuSeconds() - before;
  Loop().invalidateTimer(timer);
  EXPECT_LT(used, 0.1) << "an idle second cost " << used << " s of CPU";
  EXPECT_GT(ticks, 0);
  pipe.closeWrite();
  ASSERT_TRUE(Loop().runUntil([&] { return readable; }, 10));
}

// A forked child (a death test, a helper process) shares the loop's wake-up
// descriptor; its posts must not leave the parent's loop spinning.
TEST(RunLoopTest, WakeUpsFromAForkedChildDoNotMakeTheLoopSpin) {
  Loop();  // created before the fork, so that both share it
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Loop().performOnMainThread([] {});
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  double before = ThreadCpuSeconds();
  Loop().runUntil([] { return false; }, 1.0);
  double used = ThreadCpuSeconds() - before;
  EXPECT_LT(used, 0.1) << "an idle second cost " << used << " s of CPU";
  bool ran = false;
  Loop().performOnMainThread([&] { ran = true; });
  EXPECT_TRUE(Loop().runUntil([&] { return ran; }, 10));
}

TEST(RunLoopTest, SignalsRunTheirHandlerOnTheLoopThread) {
  int handled = 0;
  bool onLoopThread = false;
  Loop().onSignal(SIGUSR2, [&] {
    ++handled;
    onLoopThread = RunLoop::isMainThread();
  });
  ASSERT_EQ(::kill(::getpid(), SIGUSR2), 0);
  ASSERT_TRUE(Loop().runUntil([&] { return handled == 1; }, 10));
  EXPECT_TRUE(onLoopThread);

  // Threads started afterwards keep the signal blocked, so that it always
  // reaches the loop, also when sent by such a thread.
  bool blockedThere = false;
  std::thread([&] {
    sigset_t mask;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    blockedThere = sigismember(&mask, SIGUSR2) == 1;
    ::kill(::getpid(), SIGUSR2);
  }).join();
  EXPECT_TRUE(blockedThere);
  ASSERT_TRUE(Loop().runUntil([&] { return handled == 2; }, 10));

  // A second signal keeps the first one's handler.
  int termHandled = 0;
  Loop().onSignal(SIGWINCH, [&] { ++termHandled; });
  ::raise(SIGUSR2);
  ::raise(SIGWINCH);
  ASSERT_TRUE(Loop().runUntil([&] { return handled == 3 && termHandled == 1; }, 10));
}

TEST(RunLoopDeathTest, LoopThreadOperationsRefuseOtherThreads) {
  Loop();
  EXPECT_DEATH(std::thread([] { Loop().performAfterDelay(0, [] {}); }).join(),
               "performAfterDelay called off the loop thread");
}

}  // namespace
}  // namespace zy
