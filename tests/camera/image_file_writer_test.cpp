// Saving an image whole or not at all, through links, directories and failing
// system calls.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include <gtest/gtest.h>

#include "camera/ImageFileWriter.h"
#include "tests/camera/scratch_dir.h"

namespace {

using tether::FileWriterSyscalls;
using tether::SaveFileReplacing;
using tether::SetFileWriterSyscallsForTesting;

class ImageFileWriterTest : public testing::Test {
 protected:
  void TearDown() override { SetFileWriterSyscallsForTesting({}); }

  bool Save(const std::string& path, const std::string& bytes) {
    mError.clear();
    return SaveFileReplacing(path, bytes.data(), bytes.size(), &mError);
  }

  ScratchDir mDir;
  std::string mError;
};

TEST_F(ImageFileWriterTest, WritesARegularFileAndLeavesNothingElse) {
  const std::string path = mDir.file("TetherTMP1.DNG");
  ASSERT_TRUE(Save(path, "dng bytes")) << mError;
  EXPECT_EQ(ScratchDir::readFile(path), "dng bytes");
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(mDir.entries(), std::vector<std::string>{"TetherTMP1.DNG"});
}

// The mode seen by the write seam while the bytes go in.
mode_t gModeWhileWriting = 0;

ssize_t WriteNotingTheMode(int fd, const void* buffer, size_t count) {
  struct stat st;
  gModeWhileWriting = fstat(fd, &st) == 0 ? (st.st_mode & 07777) : 07777;
  return ::write(fd, buffer, count);
}

// Private while being written; then what a plain create gives under the
// process's umask, so that a reader the umask admits (the group) can read it.
TEST_F(ImageFileWriterTest, APictureIsPrivateWhileWrittenThenTakesTheUmasksMode) {
  FileWriterSyscalls calls;
  calls.write = WriteNotingTheMode;
  SetFileWriterSyscallsForTesting(calls);
  const struct {
    mode_t umask;
    mode_t mode;
  } cases[] = {{022, 0644}, {027, 0640}, {077, 0600}, {002, 0664}};
  const mode_t original = umask(022);
  for (const auto& c : cases) {
    umask(c.umask);
    gModeWhileWriting = 0;
    const std::string path = mDir.file("TetherTMP" + std::to_string(c.umask) + ".DNG");
    ASSERT_TRUE(Save(path, "dng bytes")) << mError;
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode) << std::oct << c.umask;
    EXPECT_EQ(gModeWhileWriting, 0600u) << std::oct << c.umask;
  }
  umask(original);
}

TEST_F(ImageFileWriterTest, ReplacesAnOlderLongerFileWhole) {
  const std::string path = mDir.file("TetherTMP1.JPG");
  ScratchDir::writeFile(path, std::string(1000, 'o'));
  ASSERT_TRUE(Save(path, "new")) << mError;
  EXPECT_EQ(ScratchDir::readFile(path), "new");
  EXPECT_EQ(mDir.entries().size(), 1u);
}

TEST_F(ImageFileWriterTest, ALinkAtTheTargetIsReplacedNotFollowed) {
  const std::string victim = mDir.file("victim");
  ScratchDir::writeFile(victim, "precious");
  const std::string path = mDir.file("TetherTMP2.DNG");
  ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
  ASSERT_TRUE(Save(path, "image")) << mError;
  EXPECT_EQ(ScratchDir::readFile(victim), "precious");
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(ScratchDir::readFile(path), "image");

  // A dangling link must not make us create its target either.
  const std::string dangling = mDir.file("TetherTMP3.DNG");
  const std::string nowhere = mDir.file("created-through-link");
  ASSERT_EQ(symlink(nowhere.c_str(), dangling.c_str()), 0);
  ASSERT_TRUE(Save(dangling, "image")) << mError;
  EXPECT_NE(access(nowhere.c_str(), F_OK), 0);
}

// Another user who may rename in the folder (no sticky bit) swaps names while
// the bytes go in: the hidden file for a link to a file of ours, or the folder
// itself for a link to another folder. Neither may be reported as the picture,
// nor be written, nor have its mode changed.
std::string gSwapFolder, gSwapTarget;  // what the write seam swaps, and for what
enum class Swap { kScratchName, kFolder } gSwap;

ssize_t WriteWhileSwapping(int fd, const void* buffer, size_t count) {
  if (gSwap == Swap::kScratchName) {
    for (const std::string& name : ScratchDir::entries(gSwapFolder)) {
      if (name[0] != '.') continue;
      const std::string hidden = gSwapFolder + "/" + name;
      unlink(hidden.c_str());
      if (symlink(gSwapTarget.c_str(), hidden.c_str()) != 0) return -1;
    }
  } else if (rename(gSwapFolder.c_str(), (gSwapFolder + ".moved").c_str()) != 0 ||
             symlink(gSwapTarget.c_str(), gSwapFolder.c_str()) != 0) {
    return -1;
  }
  return ::write(fd, buffer, count);
}

TEST_F(ImageFileWriterTest, NamesSwappedDuringTheSaveAreNeverFollowed) {
  const std::string victim = mDir.file("victim");
  ScratchDir::writeFile(victim, "precious");
  ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
  const std::string folder = mDir.file("shared");
  const std::string elsewhere = mDir.file("elsewhere");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
  FileWriterSyscalls calls;
  calls.write = WriteWhileSwapping;
  SetFileWriterSyscallsForTesting(calls);

  gSwap = Swap::kScratchName, gSwapFolder = folder, gSwapTarget = victim;
  const std::string path = folder + "/TetherTMP1.DNG";
  EXPECT_FALSE(Save(path, "image"));
  struct stat st;
  ASSERT_EQ(stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(ScratchDir::readFile(victim), "precious");

  // The picture lands in the folder opened at the start, not the new one.
  gSwap = Swap::kFolder, gSwapTarget = elsewhere;
  EXPECT_TRUE(Save(path, "image")) << mError;
  EXPECT_TRUE(ScratchDir::entries(elsewhere).empty());
  EXPECT_EQ(ScratchDir::readFile(folder + ".moved/TetherTMP1.DNG"), "image");
}

TEST_F(ImageFileWriterTest, ADirectoryAtTheTargetFailsAndLeavesNoScratchFile) {
  const std::string path = mDir.file("TetherTMP4.DNG");
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  EXPECT_FALSE(Save(path, "image"));
  EXPECT_NE(mError.find("rename"), std::string::npos) << mError;
  EXPECT_EQ(mDir.entries(), std::vector<std::string>{"TetherTMP4.DNG"});
  EXPECT_TRUE(ScratchDir::entries(path).empty());
}

TEST_F(ImageFileWriterTest, AMissingOrNonDirectoryParentFails) {
  EXPECT_FALSE(Save(mDir.file("missing/TetherTMP1.DNG"), "x"));
  EXPECT_FALSE(mError.empty());
  ScratchDir::writeFile(mDir.file("plain"), "");
  EXPECT_FALSE(Save(mDir.file("plain/TetherTMP1.DNG"), "x"));
  EXPECT_EQ(mDir.entries(), std::vector<std::string>{"plain"});
}

// The seam's calls are plain function pointers; these counters steer them.
std::atomic<int> gWriteCalls{0};

ssize_t ShortAndInterruptedWrites(int fd, const void* buffer, size_t count) {
  const int call = gWriteCalls++;
  if (call % 3 == 1) {
    errno = EINTR;
    return -1;
  }
  return ::write(fd, buffer, count < 3 ? count : 3);
}

ssize_t FailAfterSomeBytes(int fd, const void* buffer, size_t count) {
  if (gWriteCalls++ == 0) return ::write(fd, buffer, count / 2);
  errno = ENOSPC;
  return -1;
}

ssize_t NoProgress(int, const void*, size_t) {
  ++gWriteCalls;
  return 0;
}

int FailingClose(int fd) {
  ::close(fd);
  errno = EIO;
  return -1;
}

int FailingRename(int, const char*, int, const char*) {
  errno = EXDEV;
  return -1;
}

TEST_F(ImageFileWriterTest, ShortWritesAndInterruptionsAreRetriedToTheEnd) {
  gWriteCalls = 0;
  FileWriterSyscalls calls;
  calls.write = ShortAndInterruptedWrites;
  SetFileWriterSyscallsForTesting(calls);
  const std::string bytes = "0123456789abcdefghijklmnopqrstuvwxyz";
  const std::string path = mDir.file("TetherTMP5.JPG");
  ASSERT_TRUE(Save(path, bytes)) << mError;
  EXPECT_EQ(ScratchDir::readFile(path), bytes);
  EXPECT_GT(gWriteCalls.load(), 12);
}

TEST_F(ImageFileWriterTest, EveryLateFailureLeavesTheOldFileAndNoPartialOne) {
  struct Case {
    const char* what;
    FileWriterSyscalls calls;
  };
  FileWriterSyscalls failWrite, noProgress, failClose, failRename;
  failWrite.write = FailAfterSomeBytes;
  noProgress.write = NoProgress;
  failClose.close = FailingClose;
  failRename.renameat = FailingRename;
  const Case cases[] = {{"write", failWrite},
                        {"write", noProgress},
                        {"close", failClose},
                        {"rename", failRename}};
  const std::string path = mDir.file("TetherTMP6.DNG");
  ScratchDir::writeFile(path, "old");
  for (const Case& c : cases) {
    gWriteCalls = 0;
    SetFileWriterSyscallsForTesting(c.calls);
    EXPECT_FALSE(Save(path, std::string(4096, 'n'))) << c.what;
    EXPECT_EQ(mError.rfind(c.what, 0), 0u) << mError;
    EXPECT_EQ(mDir.entries(), std::vector<std::string>{"TetherTMP6.DNG"}) << c.what;
    EXPECT_EQ(ScratchDir::readFile(path), "old") << c.what;
  }
}

}  // namespace
