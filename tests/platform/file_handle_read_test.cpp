#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/FileHandle.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "tests/platform/platform_test_util.h"

namespace zy {
namespace {

using ::testing::ElementsAre;

using platform_test::BindMainLoop;
using platform_test::Pipe;
const auto* const kBindMainLoop = ::testing::AddGlobalTestEnvironment(new BindMainLoop);

// Records the read completions of one handle, as text; unregisters on exit.
class Completions {
 public:
  explicit Completions(FileHandle* handle) {
    NotificationCenter::defaultCenter().addObserver(
        this,
        [this, handle](const Notification& n) {
          EXPECT_EQ(n.object, handle);
          EXPECT_TRUE(RunLoop::isMainThread());
          ASSERT_NE(n.data, nullptr);
          texts.emplace_back(reinterpret_cast<const char*>(n.data->bytes()), n.data->length());
          if (onCompletion) onCompletion();
        },
        std::string(kFileHandleReadCompletionNotification), handle);
  }
  ~Completions() { NotificationCenter::defaultCenter().removeObserver(this); }

  bool waitFor(size_t count, double seconds = 10) {
    return RunLoop::main().runUntil([&] { return texts.size() >= count; }, seconds);
  }
  void idle(double seconds = 0.05) {
    RunLoop::main().runUntil([] { return false; }, seconds);
  }

  std::vector<std::string> texts;
  std::function<void()> onCompletion;
};

TEST(FileHandleReadTest, NotificationNameIsThePlatformOne) {
  EXPECT_STREQ(kFileHandleReadCompletionNotification, "NSFileHandleReadCompletionNotification");
}

TEST(FileHandleReadTest, PostsTheBytesOnceTheyArrive) {
  Pipe pipe;
  FileHandle handle(pipe.readEnd);
  Completions completions(&handle);
  handle.readInBackgroundAndNotify();
  completions.idle();
  EXPECT_TRUE(completions.texts.empty()) << "completed before any byte arrived";
  std::thread writer([&] { pipe.write("hello"); });
  ASSERT_TRUE(completions.waitFor(1));
  writer.join();
  EXPECT_THAT(completions.texts, ElementsAre("hello"));
}

TEST(FileHandleReadTest, OneCompletionPerArmingInOrder) {
  Pipe pipe;
  FileHandle handle(pipe.readEnd);
  Completions completions(&handle);
  pipe.write("abc");
  handle.readInBackgroundAndNotify();
  ASSERT_TRUE(completions.waitFor(1));
  pipe.write("def");
  completions.idle();
  EXPECT_THAT(completions.texts, ElementsAre("abc")) << "a read completed without being armed";

  handle.readInBackgroundAndNotify();
  handle.readInBackgroundAndNotify();  // queued behind the first
  ASSERT_TRUE(completions.waitFor(2));
  completions.idle();
  EXPECT_THAT(completions.texts, ElementsAre("abc", "def"));
  pipe.write("ghi");
  ASSERT_TRUE(completions.waitFor(3));
  EXPECT_THAT(completions.texts, ElementsAre("abc", "def", "ghi"));
}

TEST(FileHandleReadTest, EndOfFileAndReadErrorsGiveEmptyData) {
  Pipe pipe;
  FileHandle handle(pipe.readEnd);
  Completions completions(&handle);
  pipe.write("last");
  pipe.closeWrite();
  handle.readInBackgroundAndNotify();
  ASSERT_TRUE(completions.waitFor(1));
  handle.readInBackgroundAndNotify();
  ASSERT_TRUE(completions.waitFor(2));
  handle.readInBackgroundAndNotify();
  ASSERT_TRUE(completions.waitFor(3));
  EXPECT_THAT(completions.texts, ElementsAre("last", "", ""));

  int directory = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(directory, 0);
  FileHandle unreadable(directory);
  Completions failures(&unreadable);
  unreadable.readInBackgroundAndNotify();  // read(2) fails with EISDIR
  ASSERT_TRUE(failures.waitFor(1));
  EXPECT_THAT(failures.texts, ElementsAre(""));
  ::close(directory);
}

// Like the message accumulator: re-arm from the completion until end of file.
TEST(FileHandleReadTest, ChunksFromAWriterArriveWholeAndInOrder) {
  Pipe pipe;
  ::fcntl(pipe.writeEnd, F_SETPIPE_SZ, 1 << 20);  // more than one default-size read can hold
  FileHandle handle(pipe.readEnd);
  Completions completions(&handle);
  bool ended = false;
  completions.onCompletion = [&] {
    if (completions.texts.back().empty()) {
      ended = true;
    } else {
      handle.readInBackgroundAndNotify();
    }
  };
  std::string sent;
  for (size_t i = 0; sent.size() < (3u << 20); ++i) {
    sent += std::to_string(i) + (i % 7 == 0 ? std::string(i % 5000, '.') : ",");
  }
  std::thread writer([&] {
    // A burst larger than 64 KiB first, then many small writes.
    size_t pos = 0;
    size_t burst = 900 * 1024;
    while (pos < sent.size()) {
      size_t n = std::min(sent.size() - pos, pos == 0 ? burst : (pos * 31) % 3000 + 1);
      ASSERT_EQ(::write(pipe.writeEnd, sent.data() + pos, n), static_cast<ssize_t>(n));
      pos += n;
    }
    pipe.closeWrite();
  });
  handle.readInBackgroundAndNotify();
  bool done = RunLoop::main().runUntil([&] { return ended; }, 60);
  writer.join();
  ASSERT_TRUE(done);
  std::string received;
  size_t largest = 0;
  for (const auto& text : completions.texts) {
    received += text;
    largest = std::max(largest, text.size());
  }
  EXPECT_TRUE(received == sent) << "received " << received.size() << " of " << sent.size();
  EXPECT_GE(completions.texts.size(), 2u);
  EXPECT_LE(largest, size_t{1} << 20);
}

// Another reader empties a non-blocking descriptor between readiness and the
// handle's read: the handle keeps waiting instead of reporting end of file.
TEST(FileHandleReadTest, EmptyNonBlockingReadIsNotEndOfFile) {
  Pipe pipe;
  ASSERT_EQ(::fcntl(pipe.readEnd, F_SETFL, O_NONBLOCK), 0);
  FileHandle handle(pipe.readEnd);
  Completions completions(&handle);
  bool thiefRan = false;
  // Watches fire in arming order, so the thief reads first.
  RunLoop::main().watchReadableOnce(pipe.readEnd, [&] {
    char buffer[16];
    EXPECT_EQ(::read(pipe.readEnd, buffer, sizeof(buffer)), 1);
    thiefRan = true;
  });
  handle.readInBackgroundAndNotify();
  pipe.write("x");
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return thiefRan; }, 10));
  completions.idle();
  EXPECT_TRUE(completions.texts.empty());
  pipe.write("y");
  ASSERT_TRUE(completions.waitFor(1));
  EXPECT_THAT(completions.texts, ElementsAre("y"));
}

TEST(FileHandleReadTest, DestroyedHandlePostsNothing) {
  Pipe pipe;
  auto handle = std::make_unique<FileHandle>(pipe.readEnd);
  const void* identity = handle.get();
  int posted = 0;
  int observer;
  NotificationCenter::defaultCenter().addObserver(
      &observer, [&](const Notification&) { ++posted; },
      std::string(kFileHandleReadCompletionNotification), identity);
  handle->readInBackgroundAndNotify();
  handle.reset();
  pipe.write("late");
  RunLoop::main().runUntil([] { return false; }, 0.05);
  NotificationCenter::defaultCenter().removeObserver(&observer);
  EXPECT_EQ(posted, 0);
}

bool SameFile(int fd, const char* path) {
  struct stat a, b;
  return ::fstat(fd, &a) == 0 && ::stat(path, &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

// The standard handles keep the streams the process was given, on private
// descriptors: what a careless library does to 0 and 1 reaches neither.
TEST(FileHandleReadTest, StandardHandlesMoveTheStreamsOffDescriptorsZeroAndOne) {
  const int runnerIn = ::dup(0), runnerOut = ::dup(1);
  Pipe input, output;
  ASSERT_EQ(::dup2(input.readEnd, 0), 0);
  ASSERT_EQ(::dup2(output.writeEnd, 1), 1);
  FileHandle* in = FileHandle::fileHandleWithStandardInput();
  FileHandle* out = FileHandle::fileHandleWithStandardOutput();
  const bool nullOnZero = SameFile(0, "/dev/null");
  const bool stderrOnOne = SameFile(1, ("/proc/self/fd/" + std::to_string(STDERR_FILENO)).c_str());
  ::close(0);
  ASSERT_EQ(::write(1, "stray\n", 6), 6);
  ::dup2(runnerIn, 0);  // the runner's own descriptors back before anything can fail
  ::dup2(runnerOut, 1);
  ::close(runnerIn);
  ::close(runnerOut);

  EXPECT_TRUE(nullOnZero);
  EXPECT_TRUE(stderrOnOne);
  EXPECT_GT(in->fileDescriptor(), STDERR_FILENO);
  EXPECT_GT(out->fileDescriptor(), STDERR_FILENO);
  EXPECT_NE(::fcntl(in->fileDescriptor(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_NE(::fcntl(out->fileDescriptor(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(in, FileHandle::fileHandleWithStandardInput());
  EXPECT_EQ(out, FileHandle::fileHandleWithStandardOutput());

  Completions completions(in);
  input.write("frame");
  in->readInBackgroundAndNotify();
  ASSERT_TRUE(completions.waitFor(1));
  EXPECT_THAT(completions.texts, ElementsAre("frame"));
  char reply[] = "reply";
  const struct iovec iov = {reply, 5};
  ASSERT_TRUE(out->writeAll(&iov, 1));
  output.closeWrite();
  char got[16];
  EXPECT_EQ(std::string(got, static_cast<size_t>(::read(output.readEnd, got, sizeof got))), "reply");
}

}  // namespace
}  // namespace zy
