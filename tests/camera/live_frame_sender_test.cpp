#include "camera/LiveFrameSender.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Mutex.h"

namespace tether {
namespace {

// A host whose pipe holds what was sent until the test "reads" it.
struct FakeHost {
  zy::Mutex mu;
  std::vector<uint32_t> sent GUARDED_BY(mu);
  long unread GUARDED_BY(mu) = 0;

  LiveFrameSender::Hooks hooks() {
    return {[this] {
              zy::MutexLock lock(&mu);
              return unread;
            },
            [this](uint32_t sequence, std::vector<uint8_t> jpeg) {
              zy::MutexLock lock(&mu);
              sent.push_back(sequence);
              unread += static_cast<long>(jpeg.size());
            }};
  }
  void readAll() {
    zy::MutexLock lock(&mu);
    unread = 0;
  }
  std::vector<uint32_t> frames() {
    zy::MutexLock lock(&mu);
    return sent;
  }
};

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 5000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

// While the host has not read the frame it was sent, newer frames replace one
// another: the next frame it gets is the newest, and at most one waits.
TEST(LiveFrameSenderTest, AHostThatFallsBehindGetsTheNewestFrameNextNeverABacklog) {
  FakeHost host;
  LiveFrameSender sender(host.hooks());
  const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xD9};
  EXPECT_EQ(sender.offer(jpeg, sizeof jpeg), 1u);
  ASSERT_TRUE(WaitFor([&] { return host.frames().size() == 1; }));
  for (int i = 0; i < 10; ++i) sender.offer(jpeg, sizeof jpeg);  // 2..11, host not reading
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(host.frames(), (std::vector<uint32_t>{1}));
  EXPECT_EQ(sender.dropped(), 9u);
  host.readAll();
  ASSERT_TRUE(WaitFor([&] { return host.frames().size() == 2; }));
  EXPECT_EQ(host.frames(), (std::vector<uint32_t>{1, 11}));
}

TEST(LiveFrameSenderTest, AClearedFrameIsNeverSentAndNumberingGoesOn) {
  FakeHost host;
  {
    zy::MutexLock lock(&host.mu);
    host.unread = 1;  // the host is behind: nothing goes out yet
  }
  LiveFrameSender sender(host.hooks());
  const uint8_t jpeg[] = {1, 2, 3};
  sender.offer(jpeg, sizeof jpeg);
  sender.clear();
  host.readAll();
  EXPECT_EQ(sender.offer(jpeg, sizeof jpeg), 2u);
  ASSERT_TRUE(WaitFor([&] { return !host.frames().empty(); }));
  EXPECT_EQ(host.frames(), (std::vector<uint32_t>{2}));
}

}  // namespace
}  // namespace tether
