// The naming and moving rules of the capture saver, one table row per rule:
// each field of a file name pattern and each refusal, what may be moved out
// of the temporary folder, and when a capture counts as complete.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>

#include "host/saving/CaptureSaver.h"
#include "host/saving/FilenamePattern.h"
#include "source/ProtocolNames.h"
#include "tests/host/host_test_support.h"

namespace tether_host {
namespace {

namespace proto = tether::proto;
using tether_host_test::ScratchDir;
using tether_host_test::WriteFile;

NameFields Fields() {
  struct tm t = {};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 2;  // March
  t.tm_mday = 4;
  t.tm_hour = 5;
  t.tm_min = 6;
  t.tm_sec = 7;
  t.tm_isdst = -1;
  return {"IMG_0042", 12, std::chrono::system_clock::from_time_t(mktime(&t))};
}

TEST(FilenamePatternTest, EachFieldExpandsOnItsOwn) {
  struct Case {
    const char* pattern;
    int n;
    const char* expanded;
  };
  const Case cases[] = {
      {"%f", 0, "IMG_0042.dng"},        {"%f", 2, "IMG_0042-2.dng"},
      {"%f.%C", 1, "IMG_0042-1.dng"},   {"%n.%C", 0, "12.dng"},
      {"%Y.%C", 0, "2026.dng"},         {"%m.%C", 0, "03.dng"},
      {"%d.%C", 0, "04.dng"},           {"%H.%C", 0, "05.dng"},
      {"%M.%C", 0, "06.dng"},           {"%S.%C", 0, "07.dng"},
      {"100%%_%f.%C", 0, "100%_IMG_0042.dng"},
      {"..x/a.b/%f", 0, "..x/a.b/IMG_0042.dng"}, {"./a/./%f.%C", 0, "a/IMG_0042.dng"},
  };
  for (const Case& c : cases) {
    FilenamePattern pattern;
    std::string error;
    ASSERT_TRUE(FilenamePattern::parse(c.pattern, &pattern, &error)) << c.pattern << ": " << error;
    EXPECT_EQ(pattern.expand(Fields(), "dng", c.n), c.expanded) << c.pattern;
  }
}

TEST(FilenamePatternTest, RefusesWhatWouldLeaveTheFolderOrNameNothing) {
  for (const char* text : {"", "/abs/%f", "a/../%f", "../%f", "./", "..", "a/", "%q.%C",
                           "a%", "%f%"}) {
    FilenamePattern pattern;
    std::string error;
    EXPECT_FALSE(FilenamePattern::parse(text, &pattern, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

// A saver over a scratch output folder and temporary folder; the sink
// keeps what it hears as lines.
class SaverRulesTest : public ::testing::Test, public TetherObserver {
 protected:
  SaverRulesTest() : mTmp(mDir.sub("session")), mOut(mDir.path() + "/out") {}

  void fileSaved(const FileSaved& f) override {
    mHeard.push_back(std::string(fileKindName(f.kind)) + " " + std::to_string(f.number) + " " +
                     f.path.substr(mOut.size() + 1));
  }
  void saveFailed(const SaveFailed& f) override {
    mHeard.push_back(std::string("failed ") + fileKindName(f.kind));
  }
  void captureIncomplete(int, int number, const std::string& missing) override {
    mHeard.push_back("incomplete " + std::to_string(number) + " " + missing);
  }

  CaptureSaver& saver() {
    if (!mSaver) mSaver.reset(new CaptureSaver({mOut, FilenamePattern(), mTmp}, this));
    return *mSaver;
  }
  static HostMessage Message(const char* name, double captureId) {
    HostMessage m;
    m.name = name;
    auto* t = new ZyLuaTETable();
    t->Set(proto::kCaptureId, new ZyLuaTENumber(captureId));
    m.payload.reset(t);
    return m;
  }
  void announce(double id, const std::string& cameraName) {
    HostMessage m = Message(proto::kObjectWasAdded, id);
    m.table()->Set(proto::kFileName, new ZyLuaTEString(cameraName));
    saver().handle(m);
  }
  void thumbnail(double id) {
    HostMessage m = Message(proto::kThumbnailWasDownloaded, id);
    m.table()->Set(proto::kThumbnailData, new ZyLuaTEData(const_cast<char*>("jpg"), 3));
    saver().handle(m);
  }
  // A file the task reports; written first when it is to be inside the
  // temporary folder.
  void file(double id, const std::string& path, bool write = true) {
    if (write) WriteFile(path, "bytes");
    HostMessage m = Message(proto::kFileDownloadComplete, id);
    m.table()->Set(proto::kFilePath, new ZyLuaTEString(path));
    m.table()->Set(proto::kFileSize, new ZyLuaTENumber(5));
    saver().handle(m);
  }

  ScratchDir mDir;
  std::string mTmp, mOut;
  std::unique_ptr<CaptureSaver> mSaver;
  std::vector<std::string> mHeard;
};

TEST_F(SaverRulesTest, OnlyFilesDirectlyInsideTheTemporaryFolderAreMoved) {
  std::filesystem::create_directories(mOut);  // so that only containment can refuse
  const std::string sibling = mDir.path() + "/session2.JPG";  // beside it, sharing its name's start
  const std::string nested = mDir.sub("session/sub") + "/x.JPG";
  for (const std::string& path : {sibling, nested, mTmp + "/", mTmp + "/.", mTmp + "/..", mTmp,
                                  std::string("")}) {
    mHeard.clear();
    file(1, path, path == sibling || path == nested);
    // The kind is told by the extension alone: without ".JPG" the file is the raw one.
    const bool jpeg = path == sibling || path == nested;
    EXPECT_EQ(mHeard, std::vector<std::string>{jpeg ? "failed jpeg" : "failed dng"}) << path;
  }
  EXPECT_TRUE(std::filesystem::exists(sibling));
  EXPECT_TRUE(std::filesystem::exists(nested));
  EXPECT_TRUE(std::filesystem::is_empty(mOut));
}

// The stem is chosen once for the whole capture, free for all three kinds
// (whichever kind comes first), and a late announcement does not rename the
// rest; numbers count from 1.
TEST_F(SaverRulesTest, ACapturesFilesShareTheFirstStemFreeForAllKinds) {
  std::filesystem::create_directories(mOut);
  WriteFile(mOut + "/IMG_0001.thumb.jpg", "theirs");
  announce(7, "DCIM/IMG_0001.DNG");
  file(7, mTmp + "/TetherTMP7.DNG");
  thumbnail(7);
  announce(7, "IMG_9999.DNG");
  file(7, mTmp + "/TetherTMP7.JPG");
  announce(8, "IMG_0002.DNG");
  thumbnail(8);
  EXPECT_EQ(mHeard, (std::vector<std::string>{"dng 1 IMG_0001-1.dng", "thumbnail 1 IMG_0001-1.thumb.jpg",
                                              "jpeg 1 IMG_0001-1.jpg", "thumbnail 2 IMG_0002.thumb.jpg"}));
  EXPECT_EQ(saver().record().pictures, 2);
  EXPECT_TRUE(saver().record().problems.empty());
}

TEST_F(SaverRulesTest, CaptureIdsMustBeWholeNumbersThatFitAnInt) {
  for (double id : {1.5, 2147483648.0, -2147483649.0}) {
    thumbnail(id);
  }
  thumbnail(2147483647.0);
  thumbnail(-2147483647.0);
  EXPECT_EQ(saver().record().pictures, 2);
}

// Complete: all three kinds, or the thumbnail and one image file once the
// quiet spell has passed. finish() lists each incomplete capture once, with
// what it lacks, and lists afresh at every call.
TEST_F(SaverRulesTest, CompletenessAndWhatIsMissing) {
  thumbnail(1);
  file(1, mTmp + "/TetherTMP1.DNG");
  file(2, mTmp + "/TetherTMP2.DNG");
  file(2, mTmp + "/TetherTMP2.JPG");
  thumbnail(3);
  announce(4, "IMG_0004.DNG");
  const int hour = 3600 * 1000;
  EXPECT_FALSE(saver().progress(1)->done(hour));
  EXPECT_TRUE(saver().progress(1)->done(0));
  EXPECT_FALSE(saver().progress(2)->done(0));
  EXPECT_FALSE(saver().progress(3)->done(0));
  EXPECT_FALSE(saver().allDone(0));
  EXPECT_EQ(saver().progress(99), nullptr);
  mHeard.clear();
  saver().finish();
  saver().finish();
  EXPECT_EQ(mHeard, (std::vector<std::string>{"incomplete 2 thumbnail", "incomplete 3 image file",
                                              "incomplete 4 thumbnail and image file"}));
  EXPECT_EQ(saver().record().incomplete.size(), 3u);
  thumbnail(2);
  file(3, mTmp + "/TetherTMP3.JPG");
  file(4, mTmp + "/TetherTMP4.JPG");
  thumbnail(4);
  EXPECT_TRUE(saver().progress(2)->done(hour));
  saver().finish();
  EXPECT_TRUE(saver().record().incomplete.empty());
  EXPECT_TRUE(saver().allDone(0));
}

}  // namespace
}  // namespace tether_host
