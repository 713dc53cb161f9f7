// Outbound frames: exact bytes, nil payloads, ids, one write per frame, and
// frames sent before launch held and then written in order.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/FileHandle.h"
#include "platform/Log.h"
#include "source/mac_source/SendMessageToClient.h"
#include "source/mac_source/TetherTask.h"
#include "tests/source/mac_source/frame_bytes.h"

namespace hostlink_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string ReadAvailable(int fd) {
  std::string out;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return out;  // EAGAIN (nothing more for now) or end of file
  }
}

class Outbound : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    mReadFd = fds[0];
    mWriteFd = fds[1];
    ASSERT_EQ(::fcntl(mReadFd, F_SETFL, O_NONBLOCK), 0);
    mOutput = std::make_unique<zy::FileHandle>(mWriteFd);
    zy::SetLogSink([this](std::string_view line) {
      std::lock_guard<std::mutex> lock(mLogMutex);
      mLog.emplace_back(line);
    });
    TetherTask::discardHeldFramesForTesting();
  }
  void TearDown() override {
    zy::SetLogSink({});
    TetherTask::discardHeldFramesForTesting();
    ::close(mReadFd);
    ::close(mWriteFd);
  }
  std::string written() { return ReadAvailable(mReadFd); }
  std::vector<std::string> log() {
    std::lock_guard<std::mutex> lock(mLogMutex);
    return mLog;
  }

  int mReadFd = -1;
  int mWriteFd = -1;
  std::unique_ptr<zy::FileHandle> mOutput;
  std::mutex mLogMutex;
  std::vector<std::string> mLog;
};

TEST_F(Outbound, WorkedExampleDeviceRemovedIsExactly68Bytes) {
  TetherTask task(mOutput.get());
  task.publishForSending();
  auto* table = new ZyLuaTETable;
  table->Set("device_id", new ZyLuaTENumber(1));
  SendMessageToClient(0, "deviceRemoved", table);
  delete table;

  const std::string expected = FromHex(
      "40 00 00 00 00 00 00 00 "
      "03 00 00 00 0E 00 00 00 64 65 76 69 63 65 52 65 6D 6F 76 65 64 00 "
      "05 00 00 00 01 00 00 00 03 00 00 00 0A 00 00 00 64 65 76 69 63 65 5F 69 64 00 "
      "02 00 00 00 00 00 00 00 00 00 F0 3F");
  ASSERT_EQ(expected.size(), 68u);
  EXPECT_EQ(Hex(written()), Hex(expected));
  EXPECT_THAT(log(), ElementsAre("Tether task writing message 0 to host: deviceRemoved",
                                 "Sent message: deviceRemoved"));
}

TEST_F(Outbound, NoTableMeansANilPayload) {
  TetherTask task(mOutput.get());
  task.publishForSending();
  SendMessageToClient(12, "ok", nullptr);
  const std::string bytes = written();
  ASSERT_EQ(bytes.size(), 23u);
  EXPECT_EQ(bytes.substr(0, 4), Int32LE(19));  // 4 + 11 + 4
  EXPECT_EQ(bytes, Frame(12, NameBytes("ok"), NilBytes()));
}

TEST_F(Outbound, IdsKeepTheirSignAndTheirLow32Bits) {
  TetherTask task(mOutput.get());
  task.publishForSending();
  SendMessageToClient(-1, "ok", nullptr);
  EXPECT_EQ(Hex(written().substr(4, 4)), "FF FF FF FF");
  EXPECT_THAT(log(), ElementsAre("Tether task writing message -1 to host: ok", "Sent message: ok"));

  SendMessageToClient(0x100000005L, "ok", nullptr);
  EXPECT_EQ(written().substr(4, 4), Int32LE(5));
  SendMessageToClient(0xFFFFFFFEL, "ok", nullptr);
  EXPECT_EQ(written().substr(4, 4), Int32LE(-2));

  ZyLuaTEString name("direct");
  task.sendMessage(&name, INT32_MIN, nullptr);
  EXPECT_EQ(written(), Frame(INT32_MIN, NameBytes("direct"), NilBytes()));
  EXPECT_EQ(log().back(), "Tether task writing message -2147483648 to host: direct");
}

TEST_F(Outbound, EncodingMatchesTheEncoderAndLeavesTheTableAlone) {
  auto build = [](bool reversed) {
    auto* table = new ZyLuaTETable;
    const char* keys[] = {"b", "a", "file_path"};
    for (int i = 0; i < 3; ++i) {
      const char* key = keys[reversed ? 2 - i : i];
      table->Set(key, new ZyLuaTEString(std::string(key) + "!"));
    }
    std::string blob(1000, '\x5A');
    table->Set(new ZyLuaTENumber(2), new ZyLuaTEData(blob.data(), 1000));
    return table;
  };
  ZyLuaTETable* one = build(false);
  ZyLuaTETable* other = build(true);
  const std::string before = Encode(*one);
  zy::DataRef bytes = TetherTask::luaTableElementToNSData(one);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes->bytes()), bytes->length()), before);
  zy::DataRef again = TetherTask::luaTableElementToNSData(other);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(again->bytes()), again->length()), before);
  EXPECT_EQ(Encode(*one), before);
  delete one;
  delete other;
  // The bytes outlive the element and the stream they were written through.
  EXPECT_EQ(bytes->length(), before.size());
}

TEST_F(Outbound, EachFrameLeavesInOneWrite) {
  // A sequenced-packet socket keeps the boundary of every write, so each
  // receive shows exactly what one write carried.
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
  zy::FileHandle output(fds[0]);
  TetherTask task(&output);
  task.publishForSending();
  auto* table = new ZyLuaTETable;
  table->Set("thumbnail", new ZyLuaTEData(const_cast<char*>(std::string(3000, 'T').data()), 3000));
  SendMessageToClient(0, "thumbnailWasDownloaded", table);
  SendMessageToClient(0, "objectWasAdded", nullptr);
  const std::string first = Frame(0, NameBytes("thumbnailWasDownloaded"), Encode(*table));
  delete table;

  std::string record(8192, '\0');
  ssize_t n = ::recv(fds[1], record.data(), record.size(), 0);
  ASSERT_EQ(n, static_cast<ssize_t>(first.size()));
  EXPECT_EQ(record.substr(0, static_cast<size_t>(n)), first);
  n = ::recv(fds[1], record.data(), record.size(), 0);
  EXPECT_EQ(record.substr(0, static_cast<size_t>(n)), Frame(0, NameBytes("objectWasAdded"), NilBytes()));
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST_F(Outbound, FramesSentBeforeLaunchAreHeldThenWrittenFirstInOrder) {
  TetherTask task(mOutput.get());
  ASSERT_EQ(gTetherTask, nullptr);

  auto* table = new ZyLuaTETable;
  table->Set("device_id", new ZyLuaTENumber(8209));
  const std::string tableBytes = Encode(*table);
  SendMessageToClient(0, "deviceAdded", table);
  EXPECT_EQ(Encode(*table), tableBytes);  // read, never changed or kept
  delete table;
  SendMessageToClient(0, "cameraSettingsChanged", nullptr);
  SendMessageToClient(3, "ok", nullptr);
  SendMessageToClient(-1, "ok", nullptr);  // a held id keeps its sign in the log too

  EXPECT_EQ(written(), "");
  EXPECT_EQ(TetherTask::heldFrameCount(), 4u);
  EXPECT_THAT(log(), ElementsAre("Sent message: deviceAdded", "Sent message: cameraSettingsChanged",
                                 "Sent message: ok", "Sent message: ok"));

  task.applicationDidFinishLaunching();
  EXPECT_EQ(gTetherTask, &task);
  EXPECT_EQ(TetherTask::heldFrameCount(), 0u);
  SendMessageToClient(0, "deviceRemoved", nullptr);
  EXPECT_EQ(written(), Frame(0, NameBytes("deviceAdded"), tableBytes) +
                           Frame(0, NameBytes("cameraSettingsChanged"), NilBytes()) +
                           Frame(3, NameBytes("ok"), NilBytes()) +
                           Frame(-1, NameBytes("ok"), NilBytes()) +
                           Frame(0, NameBytes("deviceRemoved"), NilBytes()));
  const std::vector<std::string> lines = log();
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[4], "Tether task writing message 0 to host: deviceAdded");
  EXPECT_EQ(lines[6], "Tether task writing message 3 to host: ok");
  EXPECT_EQ(lines[7], "Tether task writing message -1 to host: ok");
  EXPECT_EQ(lines[9], "Sent message: deviceRemoved");
}

TEST_F(Outbound, DestroyedTaskIsNoLongerWrittenThrough) {
  {
    TetherTask task(mOutput.get());
    task.publishForSending();
    SendMessageToClient(1, "ok", nullptr);
  }
  EXPECT_EQ(gTetherTask, nullptr);
  SendMessageToClient(2, "ok", nullptr);
  EXPECT_EQ(written(), Frame(1, NameBytes("ok"), NilBytes()));
  EXPECT_EQ(TetherTask::heldFrameCount(), 1u);
}

// A live frame: id 0, the table it was given encoded as any payload, no log
// line, and nothing held for later when no task is there to write it.
TEST_F(Outbound, FrequentMessageIsWrittenUnloggedOrDropped) {
  auto table = std::make_unique<ZyLuaTETable>();
  table->Set("sequence", new ZyLuaTENumber(7));
  const std::string tableBytes = Encode(*table);
  SendFrequentMessageToClient("liveViewFrame", std::make_unique<ZyLuaTETable>());
  EXPECT_EQ(TetherTask::heldFrameCount(), 0u);
  TetherTask task(mOutput.get());
  task.publishForSending();
  SendFrequentMessageToClient("liveViewFrame", std::move(table));
  EXPECT_EQ(written(), Frame(0, NameBytes("liveViewFrame"), tableBytes));
  EXPECT_THAT(log(), ElementsAre());
}

}  // namespace
}  // namespace hostlink_test
