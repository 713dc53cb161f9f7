#include "host/saving/OutputFiles.h"

#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "tests/host/host_test_support.h"

// A recorder of the system calls that make placement durable: this
// executable's fsync, link and renameat2 stand in front of the C library's
// (the saving library is linked in statically), note what they were asked to
// do while recording, and can make a rename fail as across file systems.
namespace {
std::mutex gCallsMutex;
std::vector<std::string> gCalls;
bool gRecording = false;
bool gOtherFileSystem = false;

std::string PathOfFd(int fd) {
  char buf[4096];
  const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "?";
}

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void Note(const std::string& call) {
  std::lock_guard<std::mutex> lock(gCallsMutex);
  if (gRecording) gCalls.push_back(call);
}
}  // namespace

extern "C" int fsync(int fd) {
  Note("fsync " + PathOfFd(fd));
  return Next<int (*)(int)>("fsync")(fd);
}

extern "C" int link(const char* from, const char* to) {
  Note(std::string("link ") + to);
  return Next<int (*)(const char*, const char*)>("link")(from, to);
}

extern "C" int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  {
    std::lock_guard<std::mutex> lock(gCallsMutex);
    if (gRecording && gOtherFileSystem) {
      errno = EXDEV;
      return -1;
    }
  }
  Note(std::string("rename ") + to);
  return Next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(fromDir, from, toDir,
                                                                                 to, flags);
}

namespace tether_host {
namespace {

using tether_host_test::ReadFile;
using tether_host_test::ScratchDir;
using tether_host_test::WriteFile;

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

TEST(CaptureBaseNameTest, StripsImageExtensionsAndKeepsTheCamerasName) {
  EXPECT_EQ(CaptureBaseName("IMG_0001.dng", 1), "IMG_0001");
  EXPECT_EQ(CaptureBaseName("IMG_0042.JPG", 1), "IMG_0042");
  EXPECT_EQ(CaptureBaseName("7_IMG_0042.dng", 7), "7_IMG_0042");
  EXPECT_EQ(CaptureBaseName("IMG_0042.dng.dng", 1), "IMG_0042");  // a name completed twice
  EXPECT_EQ(CaptureBaseName("photo.tiff", 1), "photo");
  EXPECT_EQ(CaptureBaseName("plain", 1), "plain");
  EXPECT_EQ(CaptureBaseName("v1.2.jpeg", 1), "v1.2");
}

TEST(CaptureBaseNameTest, NeverLeavesTheOutputDirectoryOrHidesTheFile) {
  EXPECT_EQ(CaptureBaseName("../../etc/passwd", 3), "passwd");
  EXPECT_EQ(CaptureBaseName("a/b/IMG.dng", 3), "IMG");
  EXPECT_EQ(CaptureBaseName("x\n\\y.dng", 3), "x__y");
  for (const char* name : {"", ".dng", "..", ".", "dir/", ".hidden"}) {
    EXPECT_EQ(CaptureBaseName(name, 5), "capture5") << name;
  }
}

TEST(ExtensionForFileTest, LowerCaseExtensionOfTheTemporaryFile) {
  EXPECT_EQ(ExtensionForFile("/tmp/TetherTMP3.DNG"), ".dng");
  EXPECT_EQ(ExtensionForFile("/tmp/TetherTMP3.JPG"), ".jpg");
  EXPECT_EQ(ExtensionForFile("x.JPEG"), ".jpg");
  EXPECT_EQ(ExtensionForFile("/a.b/file"), "");
  EXPECT_EQ(ExtensionForFile("file"), "");
}

TEST(NumberedPathTest, SuffixOnlyAfterTheFirst) {
  EXPECT_EQ(NumberedPath("out", "IMG", 0, ".jpg"), "out/IMG.jpg");
  EXPECT_EQ(NumberedPath("out/", "IMG", 2, ".thumb.jpg"), "out/IMG-2.thumb.jpg");
  EXPECT_EQ(NumberedPath("", "IMG", 1, ".dng"), "./IMG-1.dng");
}

TEST(FirstFreeSuffixTest, SkipsStemsWhereAnyOfTheCapturesFilesExists) {
  ScratchDir dir;
  const auto namesAt = [](int n) {
    std::vector<std::string> names;
    for (const char* ext : {".dng", ".jpg", ".thumb.jpg"}) {
      names.push_back(NumberedPath("", "IMG", n, ext).substr(2));
    }
    return names;
  };
  EXPECT_EQ(FirstFreeSuffix(dir.path(), namesAt), 0);
  WriteFile(dir.path() + "/IMG.jpg", "x");
  EXPECT_EQ(FirstFreeSuffix(dir.path(), namesAt), 1);
  WriteFile(dir.path() + "/IMG-1.thumb.jpg", "x");
  EXPECT_EQ(FirstFreeSuffix(dir.path(), namesAt), 2);
  ASSERT_EQ(symlink("nowhere", (dir.path() + "/IMG-2.dng").c_str()), 0);  // a dangling link is a name too
  EXPECT_EQ(FirstFreeSuffix(dir.path(), namesAt), 3);
}

TEST(WriteUniqueFileTest, RacingWritersNeverShareOrReplaceAName) {
  ScratchDir dir;
  WriteFile(dir.path() + "/T.thumb.jpg", "first");
  constexpr int kThreads = 6, kEach = 15;
  std::vector<std::vector<std::string>> paths(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const std::string bytes = std::to_string(t) + ":" + std::to_string(i);
        std::string placed, error;
        if (WriteUniqueFile(dir.path(), "T", ".thumb.jpg", 0, bytes.data(), bytes.size(), &placed,
                            &error)) {
          paths[t].push_back(placed);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<std::string> distinct;
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(paths[t].size(), static_cast<size_t>(kEach));
    for (int i = 0; i < kEach; ++i) {
      distinct.insert(paths[t][i]);
      EXPECT_EQ(ReadFile(paths[t][i]), std::to_string(t) + ":" + std::to_string(i));
    }
  }
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(distinct.count(dir.path() + "/T.thumb.jpg"), 0u);
  EXPECT_EQ(ReadFile(dir.path() + "/T.thumb.jpg"), "first");
}

}  // namespace
}  // namespace tether_host

namespace tether_host {
namespace {

// Both ways into the output folder (a rename on one file system, a copy
// from another) take the first free name, leave the existing file and no
// partial copy behind, and give the file ordinary permissions.
TEST(PlaceDurablyTest, SameOrOtherFileSystemTakesTheFirstFreeNameAndLeavesNothingBehind) {
  ScratchDir dir;
  char other[] = "/dev/shm/tether-host-test-XXXXXX";
  struct stat a, b;
  const bool twoFileSystems = stat("/dev/shm", &b) == 0 && stat(dir.path().c_str(), &a) == 0 &&
                              a.st_dev != b.st_dev && mkdtemp(other) != nullptr;
  std::vector<std::string> sources = {dir.sub("tmp")};
  if (twoFileSystems) sources.push_back(other);
  const std::string out = dir.path() + "/out";
  for (const std::string& from : sources) {
    std::filesystem::remove_all(out);
    WriteFile(dir.sub("out/2026") + "/IMG.dng", "theirs");
    const std::string source = from + "/TetherTMP1.DNG";
    std::string ours(300 * 1024, '\0');  // more than one copy buffer
    for (size_t i = 0; i < ours.size(); ++i) ours[i] = static_cast<char>(i * 31);
    WriteFile(source, ours);
    chmod(source.c_str(), 0600);
    std::string placed, error;
    int used = -1;
    const auto nameAt = [](int n) { return "2026/IMG" + (n ? "-" + std::to_string(n) : "") + ".dng"; };
    ASSERT_TRUE(PlaceDurably(source, out, nameAt, 0, &placed, &used, &error)) << from << ": " << error;
    EXPECT_EQ(placed, out + "/2026/IMG-1.dng");
    EXPECT_EQ(used, 1);
    EXPECT_EQ(ReadFile(placed), ours);
    EXPECT_EQ(ReadFile(out + "/2026/IMG.dng"), "theirs");
    EXPECT_FALSE(Exists(source));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out + "/2026"),
                            std::filesystem::directory_iterator()),
              2);  // no hidden partial copy left
    struct stat st;
    ASSERT_EQ(stat(placed.c_str(), &st), 0);
    // The task's private temporary (0600) becomes an ordinary file of the user.
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask) << from;
  }
  if (twoFileSystems) rmdir(other);
}

// Each way in ends with the file's data and its name durable: the copy is
// fsync'ed before it takes a name, and the placed file and its own folder
// after. The copy takes the first free name, the same as a rename would.
TEST(PlaceDurablyTest, FsyncsTheFileAndItsFolderOnBothWaysIn) {
  ScratchDir dir;
  const std::string out = dir.path() + "/out";
  for (const bool otherFs : {false, true}) {
    std::filesystem::remove_all(out);
    WriteFile(dir.sub("out/2026") + "/IMG.dng", "theirs");
    const std::string source = dir.sub("tmp") + "/TetherTMP1.DNG";
    WriteFile(source, "ours");
    std::string placed, error;
    int used = -1;
    {
      std::lock_guard<std::mutex> lock(gCallsMutex);
      gCalls.clear();
      gRecording = true;
      gOtherFileSystem = otherFs;
    }
    const bool ok = PlaceDurably(source, out, [](int n) { return "2026/IMG" + (n ? "-" + std::to_string(n) : "") + ".dng"; },
                                 0, &placed, &used, &error);
    std::vector<std::string> calls;
    {
      std::lock_guard<std::mutex> lock(gCallsMutex);
      gRecording = false;
      for (std::string c : gCalls) {
        c.erase(c.find(' ') + 1, c.find(dir.path()) == c.find(' ') + 1 ? dir.path().size() : 0);
        calls.push_back(c.substr(0, c.find("partial-") == std::string::npos ? c.size() : c.find("partial-") + 8));
      }
    }
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(placed, out + "/2026/IMG-1.dng");
    const std::vector<std::string> sameFs = {"rename /out/2026/IMG.dng", "rename /out/2026/IMG-1.dng",
                                             "fsync /out/2026/IMG-1.dng", "fsync /out/2026"};
    const std::vector<std::string> copied = {"fsync /out/2026/.tether-partial-", "link /out/2026/IMG.dng",
                                             "link /out/2026/IMG-1.dng", "fsync /out/2026/IMG-1.dng",
                                             "fsync /out/2026"};
    EXPECT_EQ(calls, otherFs ? copied : sameFs);
    EXPECT_EQ(ReadFile(placed), "ours");
    EXPECT_FALSE(Exists(source));
  }
}

TEST(PlaceDurablyTest, AFailureNamesBothFilesAndKeepsTheSource) {
  ScratchDir dir;
  const std::string source = dir.sub("tmp") + "/TetherTMP1.JPG";
  WriteFile(source, "ours");
  WriteFile(dir.path() + "/file", "");
  std::string placed, error;
  int used = -1;
  EXPECT_FALSE(PlaceDurably(source, dir.path() + "/file/out", [](int) { return std::string("IMG.jpg"); }, 0,
                            &placed, &used, &error));
  EXPECT_NE(error.find(source + " to " + dir.path() + "/file/out/IMG.jpg: "), std::string::npos) << error;
  EXPECT_EQ(ReadFile(source), "ours");
}

TEST(PlaceDurablyTest, AMissingSourceFailsWithoutCreatingAnything) {
  ScratchDir dir;
  std::string placed, error;
  int used = -1;
  EXPECT_FALSE(PlaceDurably(dir.path() + "/gone.DNG", dir.path(),
                            [](int) { return std::string("IMG.dng"); }, 0, &placed, &used, &error));
  EXPECT_NE(error.find("gone.DNG"), std::string::npos) << error;
  EXPECT_FALSE(Exists(dir.path() + "/IMG.dng"));
}

}  // namespace
}  // namespace tether_host
