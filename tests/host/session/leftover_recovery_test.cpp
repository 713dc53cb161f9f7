// Folders left by sessions that did not end: which are found, and how their
// pictures are moved in.
#include "host/session/LeftoverRecovery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/host/host_test_support.h"

namespace {

namespace fs = std::filesystem;
using tether_host::AbandonedTempDir;
using tether_host::FilenamePattern;
using tether_host::PrivateTempDir;
using tether_host_test::ReadFile;
using tether_host_test::ScratchDir;
using tether_host_test::WriteFile;

// A folder as a killed session leaves it: 0700, its entries, no lock.
std::string Abandoned(const ScratchDir& dir, const std::string& name,
                      const std::vector<std::pair<std::string, std::string>>& files) {
  const std::string path = dir.path() + "/" + name;
  mkdir(path.c_str(), 0700);
  for (const auto& [file, bytes] : files) WriteFile(path + "/" + file, bytes);
  return path;
}

TEST(LeftoverRecoveryTest, OnlyUnheldFoldersOfOursAreFound) {
  ScratchDir dir;
  const std::string left = Abandoned(dir, "tether-session-left", {{"TetherTMP1.DNG", "d"}});
  const std::string open = Abandoned(dir, "tether-session-open", {{"TetherTMP1.DNG", "d"}});
  chmod(open.c_str(), 0755);  // not a private folder
  ASSERT_EQ(symlink(left.c_str(), (dir.path() + "/tether-session-link").c_str()), 0);
  Abandoned(dir, "other-folder", {{"TetherTMP1.DNG", "d"}});
  std::string error;
  const auto live = PrivateTempDir::create(dir.path(), &error);
  ASSERT_TRUE(live) << error;
  WriteFile(live->path() + "/TetherTMP9.DNG", "live");

  const std::vector<AbandonedTempDir> found = PrivateTempDir::findAbandoned(dir.path());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].path, left);
  EXPECT_EQ(found[0].names, std::vector<std::string>{"TetherTMP1.DNG"});
  EXPECT_EQ(tether_host::DescribeLeftovers(found),
            "1 file left by an earlier session that did not end: " + left +
                " (1 file); 'tether-host recover --out DIR' moves the pictures in");
  EXPECT_FALSE(PrivateTempDir::adopt(live->path(), &error));
  EXPECT_TRUE(tether_host::DescribeLeftovers({{dir.path() + "/tether-session-empty", {}}}).empty());
}

TEST(LeftoverRecoveryTest, PicturesMoveInUnderOneStemAndNothingIsReplaced) {
  ScratchDir dir;
  const std::string out = dir.sub("out");
  WriteFile(out + "/capture3.jpg", "earlier");
  const std::string left = Abandoned(dir, "tether-session-a",
                                     {{"TetherTMP3.DNG", "dng3"},
                                      {"TetherTMP3.JPG", "jpg3"},
                                      {"TetherTMP4.JPG", "jpg4"},
                                      {"TetherTMP5.NEF", "nef5"},
                                      {".thumbnail-2.jpg", "thumb"}});
  const std::string kept = Abandoned(dir, "tether-session-b", {{"TetherTMP1.JPG", "jpg1"}, {"notes.txt", "?"}});
  const tether_host::RecoveryResult result =
      tether_host::RecoverLeftovers(dir.path(), out, FilenamePattern());
  EXPECT_TRUE(result.failures.empty());
  EXPECT_EQ(result.saved.size(), 6u);
  EXPECT_EQ(ReadFile(out + "/capture3.jpg"), "earlier");
  EXPECT_EQ(ReadFile(out + "/capture3-1.dng"), "dng3");
  EXPECT_EQ(ReadFile(out + "/capture3-1.jpg"), "jpg3");
  EXPECT_EQ(ReadFile(out + "/capture4.jpg"), "jpg4");
  EXPECT_EQ(ReadFile(out + "/capture5.nef"), "nef5");  // a real camera's raw file keeps its format
  EXPECT_EQ(ReadFile(out + "/thumbnail-2.thumb.jpg"), "thumb");
  EXPECT_EQ(ReadFile(out + "/capture1.jpg"), "jpg1");
  EXPECT_FALSE(fs::exists(left));
  EXPECT_EQ(result.kept, std::vector<std::string>{kept + "/notes.txt"});
}

}  // namespace
