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
// executable's fsync, linkat and renameat2 stand in front of the C library's
// (the saving library is linked in statically), note what they were asked
// to do while recording, and can make a rename fail as across file systems.
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

extern "C" int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
  Note(std::string("link ") + to);
  return Next<int (*)(int, const char*, int, const char*, int)>("linkat")(fromDir, from, toDir, to, flags);
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

extern "C" int renameat(int fromDir, const char* from, int toDir, const char* to) {
  Note(std::string("rename ") + to);
  return Next<int (*)(int, const char*, int, const char*)>("renameat")(fromDir, from, toDir, to);
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
  // No longer than a name can be, and never half a character.
  EXPECT_EQ(CaptureBaseName(std::string(300, 'A') + ".dng", 1), std::string(255, 'A'));
  std::string accents;
  for (int i = 0; i < 200; ++i) accents += "\xc3\xa9";
  EXPECT_EQ(CaptureBaseName(accents + ".dng", 1), accents.substr(0, 254));
}

TEST(CaptureBaseNameTest, NeverLeavesTheOutputDirectoryOrHidesTheFile) {
  EXPECT_EQ(CaptureBaseName("../../etc/passwd", 3), "passwd");
  EXPECT_EQ(CaptureBaseName("a/b/IMG.dng", 3), "IMG");
  EXPECT_EQ(CaptureBaseName("x\n\\y.dng", 3), "x__y");
  for (const char* name : {"", ".dng", "..", ".", "dir/", ".hidden"}) {
    EXPECT_EQ(CaptureBaseName(name, 5), "capture5") << name;
  }
}

// No control character of any kind reaches a saved name; printable UTF-8
// and other bytes a file name may hold stay.
TEST(CaptureBaseNameTest, ControlCharactersNeverReachAName) {
  const struct {
    const char* camera;
    const char* stem;
  } cases[] = {
      {"\x1b]0;owned\x07IMG.dng", "_]0;owned_IMG"},    // C0: a window title escape
      {"A\x7f\x7f.jpg", "A__"},                        // DEL
      {"\xc2\x9b" "31mred\xc2\x85.dng", "_31mred_"},  // C1 as UTF-8 (CSI, NEL)
      {"\x9b" "31m\x80x.dng", "_31m_x"},                // C1 as stray bytes
      {"caf\xc3\xa9 \xc2\xa0ok.dng", "caf\xc3\xa9 \xc2\xa0ok"},  // é, no-break space
      {"latin\xe9\xff.dng", "latin\xe9\xff"},          // not UTF-8, not a control
  };
  for (const auto& c : cases) EXPECT_EQ(CaptureBaseName(c.camera, 1), c.stem) << c.camera;
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
  OutputFolder out(dir.path());
  EXPECT_EQ(FirstFreeSuffix(out, 0, namesAt), 0);
  WriteFile(dir.path() + "/IMG.jpg", "x");
  EXPECT_EQ(FirstFreeSuffix(out, 0, namesAt), 1);
  symlink("/nonexistent", (dir.path() + "/IMG-1.thumb.jpg").c_str());  // a dangling link is taken too
  EXPECT_EQ(FirstFreeSuffix(out, 0, namesAt), 2);
  EXPECT_EQ(FirstFreeSuffix(out, 3, namesAt), 3);
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

mode_t UserMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0644 & ~mask;
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The folders a source can come from: the output folder's own file system
// (a rename) and, where the machine has one, another (a copy).
class PlaceDurablyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    struct stat a, b;
    mSources.push_back(mDir.sub("tmp"));
    if (stat("/dev/shm", &b) == 0 && stat(mDir.path().c_str(), &a) == 0 && a.st_dev != b.st_dev &&
        mkdtemp(mOther) != nullptr) {
      mSources.push_back(mOther);
    }
  }
  void TearDown() override {
    if (mSources.size() > 1) std::filesystem::remove_all(mOther);
  }

  ScratchDir mDir;
  char mOther[40] = "/dev/shm/tether-host-test-XXXXXX";
  std::vector<std::string> mSources;
  const std::string mOut = mDir.path() + "/out";
};

const auto kIn2026 = [](int n) { return "2026/IMG" + (n ? "-" + std::to_string(n) : "") + ".dng"; };

// Both ways into the output folder take the first free name, leave the
// existing file and no partial copy behind, and give the file ordinary
// permissions.
TEST_F(PlaceDurablyTest, SameOrOtherFileSystemTakesTheFirstFreeNameAndLeavesNothingBehind) {
  for (const std::string& from : mSources) {
    std::filesystem::remove_all(mOut);
    WriteFile(mDir.sub("out/2026") + "/IMG.dng", "theirs");
    const std::string source = from + "/TetherTMP1.DNG";
    std::string ours(300 * 1024, '\0');  // more than one copy buffer
    for (size_t i = 0; i < ours.size(); ++i) ours[i] = static_cast<char>(i * 31);
    WriteFile(source, ours);
    chmod(source.c_str(), 0600);
    OutputFolder out(mOut);
    Placement placed;
    std::string error;
    ASSERT_EQ(PlaceDurably(source, out, kIn2026, 0, kMaxSuffix, &placed, &error), Placed::kDone)
        << from << ": " << error;
    EXPECT_EQ(placed.path, mOut + "/2026/IMG-1.dng");
    EXPECT_EQ(placed.name, "2026/IMG-1.dng");
    EXPECT_EQ(placed.n, 1);
    EXPECT_EQ(placed.size, static_cast<int64_t>(ours.size()));
    EXPECT_EQ(ReadFile(placed.path), ours);
    EXPECT_EQ(ReadFile(mOut + "/2026/IMG.dng"), "theirs");
    EXPECT_FALSE(Exists(source));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mOut + "/2026"),
                            std::filesystem::directory_iterator()),
              2);  // no hidden partial copy left
    // The task's private temporary (0600) becomes an ordinary file of the user.
    EXPECT_EQ(ModeOf(placed.path), UserMode()) << from;
    // With only taken names in the range nothing moves.
    WriteFile(source, ours);
    EXPECT_EQ(PlaceDurably(source, out, kIn2026, 0, 1, &placed, &error), Placed::kTaken);
    EXPECT_TRUE(Exists(source));
  }
}

// Another user who can write to the output folder swaps the new name for a
// symbolic link to a file of ours the moment it appears: nothing done to
// the picture afterwards (mode, fsync) may reach that file.
TEST_F(PlaceDurablyTest, ANameSwappedForASymbolicLinkAsItAppearsLeavesTheTargetAlone) {
  for (const std::string& from : mSources) {
    std::filesystem::remove_all(mOut);
    const std::string secret = mDir.path() + "/secret";
    WriteFile(secret, "private");
    chmod(secret.c_str(), 0600);
    const std::string source = from + "/TetherTMP1.JPG";
    WriteFile(source, "picture");
    chmod(source.c_str(), 0600);
    OutputFolder out(mDir.sub("out"));
    const std::string aside = mDir.path() + "/aside";
    int swaps = 0;
    out.setClaimHook([&](const std::string& name) {
      ++swaps;
      rename(out.pathOf(name).c_str(), aside.c_str());
      symlink(secret.c_str(), out.pathOf(name).c_str());
    });
    Placement placed;
    std::string error;
    ASSERT_EQ(PlaceDurably(source, out, [](int) { return std::string("IMG.jpg"); }, 0, 0, &placed, &error),
              Placed::kDone)
        << from << ": " << error;
    EXPECT_EQ(swaps, 1);
    EXPECT_EQ(ModeOf(secret), 0600u) << from;
    EXPECT_EQ(ReadFile(secret), "private");
    EXPECT_EQ(ReadFile(aside), "picture");
    EXPECT_EQ(ModeOf(aside), UserMode()) << from;
  }
}

// A folder of the pattern planted as a symbolic link (to another user's
// folder, or anywhere) is refused by name at any depth; nothing is saved
// through it and the source stays. The output folder itself may be a link:
// the user named it.
TEST_F(PlaceDurablyTest, ASymbolicLinkAmongThePatternsFoldersIsRefused) {
  const struct {
    const char* link;  // planted below out/, pointing to elsewhere/
    const char* name;  // the file to place
    const char* refused;
  } cases[] = {
      {"2026", "2026/IMG.dng", "/out/2026"},
      {"2026/05", "2026/05/IMG.dng", "/out/2026/05"},
      {"2026", "2026/05/IMG.dng", "/out/2026"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(mOut);
    std::filesystem::remove_all(mDir.path() + "/elsewhere");
    const std::string elsewhere = mDir.sub("elsewhere");
    const std::string link = mOut + "/" + c.link;
    std::filesystem::create_directories(link.substr(0, link.find_last_of('/')));
    ASSERT_EQ(symlink(elsewhere.c_str(), link.c_str()), 0);
    const std::string source = mSources[0] + "/TetherTMP1.DNG";
    WriteFile(source, "ours");
    OutputFolder out(mOut);
    Placement placed;
    std::string error;
    EXPECT_EQ(PlaceDurably(source, out, [&](int) { return std::string(c.name); }, 0, 5, &placed, &error),
              Placed::kFailed)
        << c.name;
    EXPECT_NE(error.find(mDir.path() + c.refused + " is a symbolic link; not saving through it"),
              std::string::npos)
        << error;
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere)) << c.name;
    EXPECT_EQ(ReadFile(source), "ours");
  }
  const std::string linkedOut = mDir.path() + "/linked-out";
  ASSERT_EQ(symlink(mDir.sub("real-out").c_str(), linkedOut.c_str()), 0);
  OutputFolder out(linkedOut);
  Placement placed;
  std::string error;
  ASSERT_EQ(PlaceDurably(mSources[0] + "/TetherTMP1.DNG", out, kIn2026, 0, 0, &placed, &error), Placed::kDone)
      << error;
  EXPECT_EQ(ReadFile(mDir.path() + "/real-out/2026/IMG.dng"), "ours");
}

// Each way in ends with the file's data and its name durable: the data is
// fsync'ed before the file takes a name (the copy's too), the folder after.
// A copy tries the same names a rename would, from the first.
TEST_F(PlaceDurablyTest, FsyncsTheDataBeforeTheNameAndTheFolderAfterOnBothWaysIn) {
  for (const bool otherFs : {false, true}) {
    std::filesystem::remove_all(mOut);
    WriteFile(mDir.sub("out/2026") + "/IMG.dng", "theirs");
    const std::string source = mSources[0] + "/TetherTMP1.DNG";
    WriteFile(source, "ours");
    OutputFolder out(mOut);
    Placement placed;
    std::string error;
    {
      std::lock_guard<std::mutex> lock(gCallsMutex);
      gCalls.clear();
      gRecording = true;
      gOtherFileSystem = otherFs;
    }
    const Placed result = PlaceDurably(source, out, kIn2026, 0, kMaxSuffix, &placed, &error);
    std::vector<std::string> calls;
    {
      std::lock_guard<std::mutex> lock(gCallsMutex);
      gRecording = false;
      for (std::string c : gCalls) {
        const size_t at = c.find(mDir.path());
        if (at != std::string::npos) c.erase(at, mDir.path().size());
        const size_t unnamed = c.find_first_of("#.", c.rfind('/') + 1);  // a copy without a name yet
        calls.push_back(unnamed == c.rfind('/') + 1 ? c.substr(0, unnamed + 1) : c);
      }
    }
    ASSERT_EQ(result, Placed::kDone) << error;
    EXPECT_EQ(placed.path, mOut + "/2026/IMG-1.dng");
    const std::vector<std::string> renamed = {"fsync /tmp/TetherTMP1.DNG", "rename IMG.dng", "rename IMG-1.dng",
                                              "fsync /out/2026"};
    std::vector<std::string> copied = {"fsync /tmp/TetherTMP1.DNG", "fsync /out/2026/#", "link IMG.dng",
                                       "link IMG-1.dng", "fsync /out/2026"};
    if (!calls.empty() && calls.size() == copied.size() && calls[1] == "fsync /out/2026/.") {
      copied[1] = calls[1];  // no O_TMPFILE here: a hidden name
    }
    EXPECT_EQ(calls, otherFs ? copied : renamed);
    EXPECT_EQ(ReadFile(placed.path), "ours");
    EXPECT_FALSE(Exists(source));
  }
}

// A rewrite fsyncs the new contents before they take the name and the
// folder after, replaces a link at the name without following it, leaves
// no hidden file and gives an ordinary file of the user.
TEST_F(PlaceDurablyTest, ReplaceDurablyFsyncsTheContentsBeforeTheNameAndTheFolderAfter) {
  const std::string secret = mDir.path() + "/secret";
  WriteFile(secret, "private");
  ASSERT_EQ(symlink(secret.c_str(), (mDir.sub("out/2026") + "/IMG.xmp").c_str()), 0);
  OutputFolder out(mOut);
  std::string error;
  for (const std::string text : {"first", "second"}) {
    {
      std::lock_guard<std::mutex> lock(gCallsMutex);
      gCalls.clear();
      gRecording = true;
    }
    const bool ok = ReplaceDurably(out, "2026/IMG.xmp", text, &error);
    std::vector<std::string> calls;
    {
      std::lock_guard<std::mutex> lock(gCallsMutex);
      gRecording = false;
      for (const std::string& c : gCalls) {
        const size_t hidden = c.find("/.tether-partial-");
        calls.push_back(c.substr(0, hidden == std::string::npos ? c.size() : hidden + 2));
      }
    }
    ASSERT_TRUE(ok) << error;
    const std::string folder = "fsync " + mOut + "/2026";
    EXPECT_EQ(calls, (std::vector<std::string>{folder + "/.", "rename IMG.xmp", folder}));
    EXPECT_EQ(ReadFile(mOut + "/2026/IMG.xmp"), text);
  }
  EXPECT_EQ(ReadFile(secret), "private");
  EXPECT_EQ(ModeOf(mOut + "/2026/IMG.xmp"), UserMode());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mOut + "/2026"),
                          std::filesystem::directory_iterator()),
            1);
  EXPECT_FALSE(ReplaceDurably(out, "missing/IMG.xmp", "x", &error));
  EXPECT_NE(error.find(mOut + "/missing/IMG.xmp"), std::string::npos) << error;
}

TEST_F(PlaceDurablyTest, AFailureNamesBothFilesAndKeepsTheSource) {
  const std::string source = mSources[0] + "/TetherTMP1.JPG";
  WriteFile(source, "ours");
  WriteFile(mDir.path() + "/file", "");
  OutputFolder out(mDir.path() + "/file/out");
  Placement placed;
  std::string error;
  EXPECT_EQ(PlaceDurably(source, out, [](int) { return std::string("IMG.jpg"); }, 0, 0, &placed, &error),
            Placed::kFailed);
  EXPECT_NE(error.find(source + " to " + mDir.path() + "/file/out/IMG.jpg: "), std::string::npos) << error;
  EXPECT_EQ(ReadFile(source), "ours");
}

// A source that is missing, or that names a file of ours by a symbolic or a
// hard link, is not moved and the file it names keeps its mode.
TEST_F(PlaceDurablyTest, AMissingOrLinkedSourceFailsWithoutCreatingAnything) {
  const std::string link = mSources[0] + "/TetherTMP2.DNG", hardLink = mSources[0] + "/TetherTMP3.DNG";
  WriteFile(mDir.path() + "/target", "not a picture");
  chmod((mDir.path() + "/target").c_str(), 0600);
  symlink((mDir.path() + "/target").c_str(), link.c_str());
  ::link((mDir.path() + "/target").c_str(), hardLink.c_str());
  OutputFolder out(mDir.path());
  for (const std::string& source : {mDir.path() + "/gone.DNG", link, hardLink}) {
    Placement placed;
    std::string error;
    EXPECT_EQ(PlaceDurably(source, out, [](int) { return std::string("IMG.dng"); }, 0, 0, &placed, &error),
              Placed::kFailed);
    EXPECT_NE(error.find(source), std::string::npos) << error;
    EXPECT_FALSE(Exists(mDir.path() + "/IMG.dng"));
  }
  EXPECT_EQ(ReadFile(mDir.path() + "/target"), "not a picture");
  EXPECT_EQ(ModeOf(mDir.path() + "/target"), 0600u);
}

}  // namespace
}  // namespace tether_host
