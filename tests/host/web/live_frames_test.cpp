// The live frame slot's promises: a page gets the newest frame and only one
// newer than its own; stopping live view wakes a waiting page and drops the
// frame; a frame that comes while a page waits is written to its socket by
// the thread that brought it, head and frame whole.
#include "host/web/LiveFrames.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

namespace tether_host {
namespace {

using Kind = LiveFrames::Got::Kind;

std::shared_ptr<const std::string> Jpeg(const std::string& text) {
  return std::make_shared<const std::string>("\xFF\xD8" + text + "\xFF\xD9");
}

std::string Head(const LiveFrames::Frame& frame) {
  return "HEAD " + std::to_string(frame.sequence) + " " + std::to_string(frame.jpeg->size()) + "\n";
}

TEST(LiveFramesTest, NewestOnlyAndOnlyNewerThanThePagesOwn) {
  LiveFrames frames(4);
  EXPECT_EQ(frames.newerThan(0, 0).kind, Kind::kOff);
  frames.setRunning(true);
  EXPECT_EQ(frames.newerThan(0, 0).kind, Kind::kTimeout);
  for (uint32_t n = 1; n <= 3; ++n) frames.put(n, Jpeg("frame " + std::to_string(n)));
  const LiveFrames::Got got = frames.newerThan(1, 0);
  ASSERT_EQ(got.kind, Kind::kFrame);
  EXPECT_EQ(got.frame.sequence, 3u);
  EXPECT_EQ(*got.frame.jpeg, *Jpeg("frame 3"));
  EXPECT_EQ(frames.newerThan(3, 0).kind, Kind::kTimeout);
  frames.setRunning(false);
  EXPECT_EQ(frames.newerThan(0, 0).kind, Kind::kOff);
  frames.setRunning(true);
  EXPECT_EQ(frames.newerThan(0, 0).kind, Kind::kTimeout) << "a stopped live view's frame was kept";
}

TEST(LiveFramesTest, StoppingWakesAWaitingPage) {
  LiveFrames frames(4);
  frames.setRunning(true);
  Kind kind = Kind::kFrame;
  std::thread page([&] { kind = frames.newerThan(0, 60000).kind; });
  while (frames.running()) {
    frames.setRunning(false);  // before or during the wait: either way off
  }
  page.join();
  EXPECT_EQ(kind, Kind::kOff);
}

// Puts frame 2 once a page is waiting for one newer than 1.
void PutWhenWaiting(LiveFrames* frames) {
  while (frames->waiting() == 0) std::this_thread::yield();
  frames->put(2, Jpeg("frame 2"));
}

TEST(LiveFramesTest, FrameForAWaitingPageGoesStraightToItsSocket) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
  LiveFrames frames(4);
  frames.setRunning(true);
  frames.put(1, Jpeg("old"));
  LiveFrames::Got got;
  std::thread page([&] { got = frames.newerThan(1, 60000, pair[0], &Head); });
  PutWhenWaiting(&frames);
  page.join();
  ASSERT_EQ(got.kind, Kind::kSent);
  const std::string expected = "HEAD 2 11\n" + *Jpeg("frame 2");
  EXPECT_EQ(got.head + *got.frame.jpeg, expected);
  EXPECT_EQ(got.sent, expected.size());
  char buf[256];
  const ssize_t n = read(pair[1], buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), expected);
  close(pair[0]);
  close(pair[1]);
}

// Without a socket, or with one that takes nothing now, the waiting page's
// own thread writes the frame.
TEST(LiveFramesTest, WaitingPageWithoutAWritableSocketGetsTheFrameItself) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
  const std::string filler(4096, 'x');
  while (write(pair[0], filler.data(), filler.size()) > 0) {
  }
  for (const int socket : {-1, pair[0]}) {
    LiveFrames frames(4);
    frames.setRunning(true);
    frames.put(1, Jpeg("old"));
    LiveFrames::Got got;
    std::thread page([&] { got = frames.newerThan(1, 60000, socket, &Head); });
    PutWhenWaiting(&frames);
    page.join();
    EXPECT_EQ(got.kind, Kind::kFrame) << socket;
    EXPECT_EQ(got.frame.sequence, 2u);
    EXPECT_EQ(got.sent, 0u);
  }
  close(pair[0]);
  close(pair[1]);
}

}  // namespace
}  // namespace tether_host
