// What an earlier session left in the output folder, as the page is told
// it: one capture per stem, oldest to newest by the files' times, with its
// files (served by grant) and its sidecar's rating; links and hidden files
// passed over.
#include "host/web/EarlierPictures.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "host/saving/RatingSidecar.h"

namespace tether_host {
namespace {

class Folder {
 public:
  Folder() {
    char pattern[] = "/tmp/tether-earlier-test-XXXXXX";
    mPath = mkdtemp(pattern);
  }
  ~Folder() { std::filesystem::remove_all(mPath); }
  const std::string& path() const { return mPath; }
  // A file at `name` whose modification time is `second` after the epoch.
  void file(const std::string& name, time_t second, const std::string& bytes = "x") {
    const std::string full = mPath + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full) << bytes;
    const struct timespec times[2] = {{second, 0}, {second, 0}};
    utimensat(AT_FDCWD, full.c_str(), times, 0);
  }

 private:
  std::string mPath;
};

TEST(EarlierPicturesTest, EachStemOnceNewestLastWithFilesAndRating) {
  Folder out;
  out.file("IMG_0002.jpg", 2000);
  out.file("IMG_0002.thumb.jpg", 2000);
  out.file("IMG_0002.dng", 2001, "dng bytes");
  out.file("IMG_0001.JPG", 1000);
  out.file("2026/IMG_0003.jpeg", 3000);
  out.file(".hidden.jpg", 4000);
  out.file("notes.txt", 5000);
  out.file("IMG_0009.thumb.jpg", 6000);  // a thumbnail alone is no picture
  ASSERT_EQ(symlink("/etc/hostname", (out.path() + "/link.jpg").c_str()), 0);
  std::string error;
  ASSERT_TRUE(WriteRatingSidecar(out.path(), "IMG_0002.jpg", 4, &error)) << error;

  EventHub hub(64, 2);
  PictureIndex pictures(out.path());
  LiveObserver observer(&hub, &pictures);
  EXPECT_EQ(PublishEarlierPictures(out.path(), &observer, &hub), 3u);

  const std::string state = hub.snapshot();
  std::vector<std::string> captures;
  const std::regex capture(R"re("type":"capture","id":(-\d+),"number":0,"name":"([^"]*)")re");
  for (std::sregex_iterator it(state.begin(), state.end(), capture), end; it != end; ++it) {
    captures.push_back((*it)[1].str() + " " + (*it)[2].str());
  }
  EXPECT_EQ(captures, (std::vector<std::string>{"-3 IMG_0001", "-2 IMG_0002", "-1 IMG_0003"})) << state;
  EXPECT_NE(state.find(R"("type":"rating","id":-2,"rating":4)"), std::string::npos) << state;
  EXPECT_EQ(state.find("link"), std::string::npos);
  EXPECT_EQ(state.find("hidden"), std::string::npos);
  EXPECT_NE(state.find(R"("id":-2,"number":0,"kind":"dng","size":9)"), std::string::npos) << state;
  const std::regex url(R"re("url":"/files/-2/jpeg\?grant=([0-9a-f]{32})")re");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(state, m, url)) << state;
  EXPECT_EQ(pictures.find(-2, FileKind::kJpeg, m[1]), out.path() + "/IMG_0002.jpg");
  EXPECT_EQ(pictures.rate(-3, 5, &error), PictureIndex::Rated::kDone) << error;
  EXPECT_EQ(ReadRatingSidecar(out.path(), "IMG_0001.JPG"), 5);
}

TEST(EarlierPicturesTest, MissingFolderIsAnEmptySession) {
  EventHub hub(8, 1);
  PictureIndex pictures;
  LiveObserver observer(&hub, &pictures);
  EXPECT_EQ(PublishEarlierPictures("/nonexistent/tether-out", &observer, &hub), 0u);
}

}  // namespace
}  // namespace tether_host
