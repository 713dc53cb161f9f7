// Concurrent senders: whole frames only, none lost, each sender's frames in
// its order, also while launching completes under their feet.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/FileHandle.h"
#include "platform/Log.h"
#include "source/mac_source/SendMessageToClient.h"
#include "source/mac_source/TetherTask.h"
#include "tests/source/mac_source/frame_bytes.h"

namespace hostlink_test {
namespace {

// Collects everything written to a pipe on a thread of its own until the
// write end is closed.
class PipeDrain {
 public:
  PipeDrain() {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    mReadFd = fds[0];
    writeFd = fds[1];
    mThread = std::thread([this] {
      char buffer[65536];
      for (;;) {
        ssize_t n = ::read(mReadFd, buffer, sizeof(buffer));
        if (n > 0) {
          mBytes.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
          return;
        }
      }
    });
  }
  // Closes the write end and returns everything that was written.
  std::string finish() {
    ::close(writeFd);
    mThread.join();
    ::close(mReadFd);
    return mBytes;
  }
  int writeFd = -1;

 private:
  int mReadFd = -1;
  std::thread mThread;
  std::string mBytes;
};

// Payload data whose size and contents depend on sender and sequence number;
// most sizes exceed the pipe's atomic-write limit, so a frame written in
// pieces could be split by another sender's.
std::string Blob(int thread, int seq) {
  const size_t size = static_cast<size_t>((seq * 977 + thread * 131) % 9000);
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i + thread * 7 + seq) & 0xFF);
  return out;
}

void SendFrames(int thread, int count) {
  for (int seq = 0; seq < count; ++seq) {
    auto* table = new ZyLuaTETable;
    table->Set("thread", new ZyLuaTENumber(thread));
    table->Set("seq", new ZyLuaTENumber(seq));
    std::string blob = Blob(thread, seq);
    table->Set("data", new ZyLuaTEData(blob.data(), static_cast<int>(blob.size())));
    SendMessageToClient(thread, "objectWasAdded", table);
    delete table;
  }
}

// Parses the output; fails the test on any frame that is not one of ours
// intact, or that comes out of its sender's order. Returns frames per sender.
std::map<int, int> CheckFrames(const std::string& bytes) {
  Harness h;
  h.drainOnNotification = false;
  h.feed(bytes);
  std::map<int, int> next;  // sender -> next expected sequence number
  while (CRCMessage* m = h.accumulator.getNextMessage()) {
    auto* table = dynamic_cast<ZyLuaTETable*>(m->messageData);
    EXPECT_NE(table, nullptr);
    EXPECT_EQ(static_cast<std::string>(*m->messageName), "objectWasAdded");
    if (table != nullptr) {
      const int thread = static_cast<int>(static_cast<double>(*table->elementForKey("thread")));
      const int seq = static_cast<int>(static_cast<double>(*table->elementForKey("seq")));
      EXPECT_EQ(m->messageId, thread);
      EXPECT_EQ(seq, next[thread]) << "sender " << thread << " out of order or lost";
      next[thread] = seq + 1;
      auto* data = dynamic_cast<ZyLuaTEData*>(table->elementForKey("data"));
      EXPECT_NE(data, nullptr);
      if (data != nullptr) {
        EXPECT_EQ(std::string(static_cast<char*>(data->mBytes), static_cast<size_t>(data->mLength)),
                  Blob(thread, seq));
      }
    }
    ZyDeleteMessage(m);
  }
  return next;
}

class Quiet {
 public:
  Quiet() {
    zy::SetLogSink([this](std::string_view line) {
      if (line.rfind("Sent message: ", 0) == 0) ++sent;
    });
  }
  ~Quiet() { zy::SetLogSink({}); }
  std::atomic<int> sent{0};
};

TEST(OutboundThreaded, EightSendersThousandFramesEachNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kFrames = 1000;
  Quiet quiet;
  TetherTask::discardHeldFramesForTesting();
  PipeDrain drain;
  zy::FileHandle output(drain.writeFd);
  std::string bytes;
  {
    TetherTask task(&output);
    task.publishForSending();
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) senders.emplace_back(SendFrames, t, kFrames);
    for (std::thread& s : senders) s.join();
    bytes = drain.finish();
  }
  std::map<int, int> perSender = CheckFrames(bytes);
  ASSERT_EQ(perSender.size(), static_cast<size_t>(kThreads));
  for (const auto& [thread, count] : perSender) EXPECT_EQ(count, kFrames) << "sender " << thread;
  EXPECT_EQ(quiet.sent.load(), kThreads * kFrames);
}

TEST(OutboundThreaded, LaunchWhileSendingLosesAndReordersNothing) {
  constexpr int kThreads = 4;
  constexpr int kFrames = 300;
  Quiet quiet;
  for (int round = 0; round < 10; ++round) {
    TetherTask::discardHeldFramesForTesting();
    PipeDrain drain;
    zy::FileHandle output(drain.writeFd);
    std::string bytes;
    {
      TetherTask task(&output);
      std::vector<std::thread> senders;
      for (int t = 0; t < kThreads; ++t) senders.emplace_back(SendFrames, t, kFrames);
      // Publish once some frames are held, while the senders keep going.
      while (TetherTask::heldFrameCount() < static_cast<size_t>(round * 20 + 1)) {
        std::this_thread::yield();
      }
      task.applicationDidFinishLaunching();
      for (std::thread& s : senders) s.join();
      bytes = drain.finish();
    }
    std::map<int, int> perSender = CheckFrames(bytes);
    ASSERT_EQ(perSender.size(), static_cast<size_t>(kThreads)) << "round " << round;
    for (const auto& [thread, count] : perSender) {
      ASSERT_EQ(count, kFrames) << "round " << round << ", sender " << thread;
    }
    ASSERT_EQ(TetherTask::heldFrameCount(), 0u);
  }
}

}  // namespace
}  // namespace hostlink_test
