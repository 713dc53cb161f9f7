#include "camera/gphoto2/descriptor_zero.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace krv_gphoto {
namespace {

bool SameFile(int fd, const char* path) {
  struct stat a, b;
  return fstat(fd, &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Runs `body` with the runner's descriptor 0 set aside, and puts it back.
template <typename Body>
void WithDescriptorZeroAside(Body body) {
  const int saved = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  ASSERT_GE(saved, 0);
  body();
  dup2(saved, STDIN_FILENO);
  close(saved);
}

TEST(DescriptorZeroTest, ClosedZeroGetsDevNullOrTheCopyAskedForAndAnOpenOneIsLeftAlone) {
  WithDescriptorZeroAside([] {
    close(STDIN_FILENO);
    OccupyDescriptorZero();
    EXPECT_TRUE(SameFile(STDIN_FILENO, "/dev/null"));
    // A socket opened next no longer lands on 0.
    const int next = open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_GT(next, STDIN_FILENO);
    close(next);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    dup2(fds[0], STDIN_FILENO);
    OccupyDescriptorZero();
    EXPECT_TRUE(SameFile(STDIN_FILENO, ("/proc/self/fd/" + std::to_string(fds[0])).c_str()));

    // What a guard set aside goes back on a closed 0, not /dev/null.
    close(STDIN_FILENO);
    OccupyDescriptorZero(fds[1]);
    EXPECT_TRUE(SameFile(STDIN_FILENO, ("/proc/self/fd/" + std::to_string(fds[1])).c_str()));
    close(fds[0]);
    close(fds[1]);
  });
}

}  // namespace
}  // namespace krv_gphoto
