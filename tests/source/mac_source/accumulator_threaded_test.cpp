// The queue lock: a message whose queueing times out is reported, kept, and
// queued first on the next pass; a consumer on another thread takes every
// message exactly once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Exception.h"
#include "platform/Log.h"
#include "tests/source/mac_source/frame_bytes.h"

namespace hostlink_test {
namespace {

using ::testing::HasSubstr;

// Holds a lock from another thread until released.
class LockHolder {
 public:
  explicit LockHolder(zy::Lock& lock) : mLock(lock) {
    mThread = std::thread([this] {
      ASSERT_TRUE(mLock.lockWithin(10));
      {
        std::unique_lock<std::mutex> guard(mMutex);
        mHeld = true;
        mChanged.notify_all();
        mChanged.wait(guard, [this] { return mRelease; });
      }
      mLock.unlock();
    });
    std::unique_lock<std::mutex> guard(mMutex);
    mChanged.wait(guard, [this] { return mHeld; });
  }
  ~LockHolder() { release(); }
  void release() {
    {
      std::lock_guard<std::mutex> guard(mMutex);
      mRelease = true;
      mChanged.notify_all();
    }
    if (mThread.joinable()) mThread.join();
  }

 private:
  zy::Lock& mLock;
  std::thread mThread;
  std::mutex mMutex;
  std::condition_variable mChanged;
  bool mHeld = false;
  bool mRelease = false;
};

TEST(AccumulatorQueueLock, TimedOutMessageIsReportedKeptAndQueuedFirstNextPass) {
  std::vector<std::string> lines;
  std::mutex linesMutex;
  zy::SetLogSink([&](std::string_view line) {
    std::lock_guard<std::mutex> guard(linesMutex);
    lines.emplace_back(line);
  });

  Harness h;
  h.drainOnNotification = false;
  h.accumulator.setQueueLockTimeoutForTesting(0.05);
  const std::string first = Frame(1, NameBytes("first"), NilBytes());
  const std::string second = Frame(2, NameBytes("second"), NilBytes());
  {
    LockHolder holder(h.accumulator.messageQueueLockForTesting());
    h.feed(first);
    EXPECT_EQ(h.available, 0);
    // Handing out under a held lock gives up quietly.
    EXPECT_EQ(h.accumulator.getNextMessage(), nullptr);
  }
  {
    std::lock_guard<std::mutex> guard(linesMutex);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], HasSubstr("addMessageToQueue:"));
    EXPECT_THAT(lines[0], HasSubstr("ZyRCMessageAccumulator"));
    EXPECT_THAT(lines[0], HasSubstr("209"));
    EXPECT_THAT(lines[0], HasSubstr("ZyRemoteCommunicationMac: addMessageToQueue: Message is being "
                                    "lost because we timed out waiting for the queue lock!"));
  }
  zy::SetLogSink({});

  // Nothing is queued until more bytes arrive; then the kept message goes
  // first, and exactly once.
  EXPECT_EQ(h.accumulator.getNextMessage(), nullptr);
  h.feed(second);
  EXPECT_EQ(h.available, 2);
  while (h.take()) {
  }
  EXPECT_EQ(h.got, (std::vector<Received>{{1, NameBytes("first"), NilBytes()},
                                          {2, NameBytes("second"), NilBytes()}}));
}

TEST(AccumulatorQueueLock, DirectQueueingThatTimesOutThrowsAndLeavesTheMessageToTheCaller) {
  zy::SetLogSink([](std::string_view) {});
  Harness h;
  h.accumulator.setQueueLockTimeoutForTesting(0.05);
  auto* m = new CRCMessage;
  m->messageName = new ZyLuaTEString("x");
  {
    LockHolder holder(h.accumulator.messageQueueLockForTesting());
    try {
      h.accumulator.addMessageToQueue(m);
      ADD_FAILURE() << "queueing under a held lock did not fail";
    } catch (const zy::Exception& e) {
      EXPECT_EQ(e.name(), zy::kInternalInconsistencyException);
    }
  }
  zy::SetLogSink({});
  EXPECT_EQ(h.available, 0);
  EXPECT_EQ(h.accumulator.getNextMessage(), nullptr);
  ZyDeleteMessage(m);  // still ours
}

TEST(AccumulatorQueueLock, ConsumerThreadTakesEveryMessageOnceInOrder) {
  constexpr int kMessages = 3000;
  Harness h;
  h.drainOnNotification = false;
  h.accumulator.setQueueLockTimeoutForTesting(10);
  std::atomic<bool> done{false};
  std::vector<int32_t> taken;
  std::thread consumer([&] {
    while (static_cast<int>(taken.size()) < kMessages) {
      CRCMessage* m = h.accumulator.getNextMessage();
      if (m == nullptr) {
        if (!done.load()) {
          std::this_thread::yield();
          continue;
        }
        // Everything was queued before `done`: one more look settles it.
        m = h.accumulator.getNextMessage();
        if (m == nullptr) break;
      }
      taken.push_back(m->messageId);
      ZyDeleteMessage(m);
    }
  });
  std::string bytes;
  for (int i = 0; i < kMessages; ++i) bytes += Frame(i, NameBytes("m"), NilBytes());
  for (size_t at = 0; at < bytes.size(); at += 97) h.feed(bytes.substr(at, 97));
  done.store(true);
  consumer.join();
  ASSERT_EQ(taken.size(), static_cast<size_t>(kMessages));
  for (int i = 0; i < kMessages; ++i) ASSERT_EQ(taken[i], i);
  EXPECT_EQ(h.available, kMessages);
}

}  // namespace
}  // namespace hostlink_test
