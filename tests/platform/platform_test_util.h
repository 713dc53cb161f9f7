// Helpers shared by the tests of the platform layer and of its users: a pipe
// that closes what it still owns, and the test environment that makes the
// test's main thread the run loop's main thread.
#ifndef TESTS_PLATFORM_PLATFORM_TEST_UTIL_H_
#define TESTS_PLATFORM_PLATFORM_TEST_UTIL_H_

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/RunLoop.h"

namespace platform_test {

// Both ends are closed by the destructor unless closed earlier.
struct Pipe {
  int readEnd = -1, writeEnd = -1;
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    readEnd = fds[0];
    writeEnd = fds[1];
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  void write(const std::string& bytes) {
    ASSERT_EQ(::write(writeEnd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void closeRead() {
    if (readEnd >= 0) ::close(readEnd);
    readEnd = -1;
  }
  void closeWrite() {
    if (writeEnd >= 0) ::close(writeEnd);
    writeEnd = -1;
  }
};

// The loop belongs to the first thread that asks for it. Registered once per
// test program (::testing::AddGlobalTestEnvironment(new BindMainLoop)), it
// makes that the test's main thread, whichever test runs first or alone.
class BindMainLoop : public ::testing::Environment {
 public:
  void SetUp() override { zy::RunLoop::main(); }
};

}  // namespace platform_test

#endif  // TESTS_PLATFORM_PLATFORM_TEST_UTIL_H_
