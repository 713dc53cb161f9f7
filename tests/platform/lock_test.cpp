#include "platform/Lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <future>
#include <thread>

namespace zy {
namespace {

// Holds `lock` on a thread of its own until release() is called.
class Holder {
 public:
  explicit Holder(Lock& lock) : mThread([this, &lock] {
      EXPECT_TRUE(lock.lockWithin(10));
      mTaken.set_value();
      mRelease.get_future().wait();
      lock.unlock();
    }) {
    mTaken.get_future().wait();
  }
  ~Holder() {
    release();
    mThread.join();
  }
  void release() {
    if (!mReleased.exchange(true)) mRelease.set_value();
  }

 private:
  std::promise<void> mTaken;
  std::promise<void> mRelease;
  std::atomic<bool> mReleased{false};
  std::thread mThread;
};

TEST(LockTest, FreeLockIsTakenEvenWithAnExpiredDeadline) {
  Lock lock;
  EXPECT_TRUE(lock.lockBeforeDate(Lock::Clock::now() - std::chrono::seconds(1)));
  lock.unlock();
  EXPECT_TRUE(lock.lockWithin(0));
  lock.unlock();
  EXPECT_TRUE(lock.lockWithin(-5));
  lock.unlock();
  EXPECT_TRUE(lock.lockWithin(NAN));
  lock.unlock();
  EXPECT_TRUE(lock.lockWithin(1e300));  // a deadline beyond the clock's range
  lock.unlock();
}

TEST(LockTest, HeldLockGivesUpAtTheDeadlineWithoutTakingIt) {
  Lock lock;
  {
    Holder holder(lock);
    EXPECT_FALSE(lock.lockWithin(0.05));
    EXPECT_FALSE(lock.lockBeforeDate(Lock::Clock::now() - std::chrono::seconds(1)));
    EXPECT_FALSE(lock.lockWithin(NAN));
    EXPECT_FALSE(lock.lockWithin(-1));
  }
  // Had a failed attempt taken the lock, this thread would now own it twice
  // over and the attempt below from another thread would fail.
  std::thread other([&] {
    EXPECT_TRUE(lock.lockWithin(0));
    lock.unlock();
  });
  other.join();
}

TEST(LockTest, WaiterGetsTheLockWhenReleasedBeforeTheDeadline) {
  Lock lock;
  Holder holder(lock);
  auto waiter = std::async(std::launch::async, [&] {
    bool taken = lock.lockWithin(10);
    if (taken) lock.unlock();
    return taken;
  });
  // Give the waiter time to block; a waiter that does not wait fails here.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  holder.release();
  EXPECT_TRUE(waiter.get());
}

TEST(LockTest, ExcludesConcurrentHolders) {
  Lock lock;
  long counter = 0;  // guarded by lock
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        ASSERT_TRUE(lock.lockWithin(10));
        long seen = counter;
        counter = seen + 1;
        lock.unlock();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, long{kThreads} * kRounds);
}

}  // namespace
}  // namespace zy
