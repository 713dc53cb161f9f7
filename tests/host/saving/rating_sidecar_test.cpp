#include "host/saving/RatingSidecar.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/host/host_test_support.h"

namespace tether_host {
namespace {

using tether_host_test::ReadFile;
using tether_host_test::ScratchDir;
using tether_host_test::WriteFile;

TEST(RatingSidecarTest, TextRoundTripsAndForeignFormsAreRead) {
  for (int rating = kRatingRejected; rating <= kRatingMax; ++rating) {
    const std::string text = RatingSidecarText(rating);
    EXPECT_NE(text.find("xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\""), std::string::npos);
    EXPECT_NE(text.find("<rdf:Description"), std::string::npos);
    EXPECT_EQ(ParseRatingSidecar(text), rating);
  }
  const struct {
    std::string text;
    std::optional<int> rating;
  } cases[] = {
      {"<rdf:Description xmp:Rating='4'/>", 4},
      {"<xmp:Rating>2</xmp:Rating>", 2},
      {"<xmp:Rating> -1 </xmp:Rating>", -1},
      {"xmp:Rating=\"6\"", std::nullopt},
      {"xmp:Rating=\"-2\"", std::nullopt},
      {"xmp:Rating=\"x\"", std::nullopt},
      {"<x:xmpmeta/>", std::nullopt},
      {std::string(70000, ' ') + "xmp:Rating=\"3\"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseRatingSidecar(c.text), c.rating) << c.text.substr(0, 40);
  EXPECT_EQ(SidecarNameFor("IMG_0003.jpg"), "IMG_0003.xmp");
  EXPECT_EQ(SidecarNameFor("2026/05/IMG_0003.dng"), "2026/05/IMG_0003.xmp");
  EXPECT_EQ(SidecarNameFor("a.b/plain"), "a.b/plain.xmp");
}

TEST(RatingSidecarTest, WrittenBesideThePictureReplacedWholeAndReadBack) {
  ScratchDir dir;
  dir.sub("2026");
  std::string error;
  for (const std::string name : {"IMG_0003.jpg", "2026/IMG_0004.dng"}) {
    EXPECT_EQ(ReadRatingSidecar(dir.path(), name), std::nullopt);
    ASSERT_TRUE(WriteRatingSidecar(dir.path(), name, 5, &error)) << error;
    ASSERT_TRUE(WriteRatingSidecar(dir.path(), name, kRatingRejected, &error)) << error;
    EXPECT_EQ(ReadFile(dir.path() + "/" + SidecarNameFor(name)), RatingSidecarText(kRatingRejected));
    EXPECT_EQ(ReadRatingSidecar(dir.path(), name), kRatingRejected);
  }
  // No temporary file is left behind.
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) entries += !e.is_directory();
  EXPECT_EQ(entries, 1u);
}

TEST(RatingSidecarTest, NeverWritesOutsideTheFolderNorThroughALink) {
  ScratchDir dir;
  ScratchDir elsewhere;
  const std::string target = elsewhere.path() + "/target.txt";
  const std::string planted = dir.path() + "/IMG_0009.xmp";
  ASSERT_EQ(symlink(elsewhere.path().c_str(), (dir.path() + "/planted").c_str()), 0);
  WriteFile(target, "keep");
  ASSERT_EQ(symlink(target.c_str(), planted.c_str()), 0);
  std::string error;
  for (const char* name : {"../IMG_0001.jpg", "/tmp/IMG_0001.jpg", "planted/IMG_0001.jpg",
                           "missing/IMG_0001.jpg", "a//IMG.jpg", "", "./IMG.jpg"}) {
    EXPECT_FALSE(WriteRatingSidecar(dir.path(), name, 3, &error)) << name;
    EXPECT_FALSE(error.empty()) << name;
  }
  EXPECT_FALSE(WriteRatingSidecar(dir.path(), "IMG_0001.jpg", 6, &error));
  const auto there = std::filesystem::directory_iterator(elsewhere.path());
  EXPECT_EQ(std::distance(begin(there), end(there)), 1);  // target.txt alone
  // A link at the sidecar's own name is replaced, its target untouched.
  EXPECT_EQ(ReadRatingSidecar(dir.path(), "IMG_0009.jpg"), std::nullopt);
  ASSERT_TRUE(WriteRatingSidecar(dir.path(), "IMG_0009.jpg", 2, &error)) << error;
  EXPECT_EQ(ReadFile(target), "keep");
  EXPECT_FALSE(std::filesystem::is_symlink(planted));
  EXPECT_EQ(ReadRatingSidecar(dir.path(), "IMG_0009.jpg"), 2);
}

}  // namespace
}  // namespace tether_host
