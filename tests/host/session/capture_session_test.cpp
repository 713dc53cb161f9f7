#include "host/session/CaptureSession.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "host/client/CameraSettings.h"
#include "tests/host/host_test_support.h"

namespace tether_host {
namespace {

using tether_host_test::FakeTask;
using tether_host_test::ReadFile;
using tether_host_test::ScratchDir;
using tether_host_test::WriteFile;

class CaptureSessionTest : public ::testing::Test {
 protected:
  CaptureResult Run(const std::string& mode, CaptureOptions options) {
    std::string error;
    mTask = TaskProcess::start(FakeTask(mode, mTmp), &error);
    EXPECT_TRUE(mTask) << error;
    if (!mTask) return {};
    options.outDir = mOut;
    CaptureSession session(mTask.get(), options, nullptr);
    return session.run();
  }

  static CaptureOptions Guarded(int count) {
    CaptureOptions options;
    options.count = count;
    // Failure guards only: the fake task answers at once.
    options.cameraTimeoutMs = options.captureTimeoutMs = options.settingsTimeoutMs = 20000;
    options.quietMs = 20000;
    return options;
  }

  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(mOut)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  ScratchDir mDir;
  std::string mTmp = mDir.sub("tmp");
  std::string mOut = mDir.sub("out");
  std::unique_ptr<TaskProcess> mTask;
};

TEST_F(CaptureSessionTest, SavesEveryFileUnderTheCamerasNameAndReadsTheSettings) {
  const CaptureResult result = Run("", Guarded(2));
  ASSERT_EQ(result.outcome, CaptureResult::Outcome::kOk) << result.message;
  EXPECT_EQ(result.capturesCompleted, 2);
  EXPECT_EQ(result.cameraName, "Orvak K1");
  EXPECT_EQ(result.deviceId, 8201);
  EXPECT_TRUE(result.problems.empty());
  EXPECT_EQ(Listing(), (std::vector<std::string>{"IMG_0001.dng", "IMG_0001.jpg",
                                                 "IMG_0001.thumb.jpg", "IMG_0002.dng",
                                                 "IMG_0002.jpg", "IMG_0002.thumb.jpg"}));
  ASSERT_EQ(result.files.size(), 6u);
  for (const SavedFile& f : result.files) {
    EXPECT_TRUE(f.sizeMatches()) << f.path;
    EXPECT_EQ(f.size, static_cast<int64_t>(ReadFile(f.path).size())) << f.path;
  }
  EXPECT_EQ(result.files[1].kind, FileKind::kRaw);
  EXPECT_EQ(result.files[1].size, 1001);
  EXPECT_EQ(result.files[2].kind, FileKind::kJpeg);
  EXPECT_EQ(result.files[2].size, 501);
  EXPECT_EQ(ReadFile(mOut + "/IMG_0002.thumb.jpg").substr(0, 3), "\xFF\xD8\xFF");
  // The temporary files are moved, not copied.
  EXPECT_TRUE(std::filesystem::is_empty(mTask->tempDir()));
  EXPECT_EQ(DescribeSettings(result.settings.get()),
            (std::vector<std::pair<std::string, std::string>>{{"ISO", "400"},
                                                              {"Aperture", "f/5.6"},
                                                              {"Shutter", "1/125"},
                                                              {"White balance", "Daylight"}}));
}

TEST_F(CaptureSessionTest, ExistingFilesAreNeverReplaced) {
  WriteFile(mOut + "/IMG_0001.jpg", "mine");
  const CaptureResult result = Run("", Guarded(1));
  ASSERT_EQ(result.outcome, CaptureResult::Outcome::kOk) << result.message;
  EXPECT_EQ(ReadFile(mOut + "/IMG_0001.jpg"), "mine");
  // The capture's files keep one stem between them.
  EXPECT_EQ(Listing(), (std::vector<std::string>{"IMG_0001-1.dng", "IMG_0001-1.jpg",
                                                 "IMG_0001-1.thumb.jpg", "IMG_0001.jpg"}));
}

TEST_F(CaptureSessionTest, OneFormatOnlyCompletesAfterTheQuietPeriod) {
  CaptureOptions options = Guarded(2);
  options.quietMs = 50;
  const CaptureResult result = Run("dngonly", options);
  ASSERT_EQ(result.outcome, CaptureResult::Outcome::kOk) << result.message;
  EXPECT_EQ(Listing(), (std::vector<std::string>{"IMG_0001.dng", "IMG_0001.thumb.jpg",
                                                 "IMG_0002.dng", "IMG_0002.thumb.jpg"}));
}

TEST_F(CaptureSessionTest, WrongSizesAreReportedButTheFilesKept) {
  const CaptureResult result = Run("badsize", Guarded(1));
  ASSERT_EQ(result.outcome, CaptureResult::Outcome::kOk) << result.message;
  ASSERT_EQ(result.problems.size(), 2u);
  EXPECT_NE(result.problems[0].find("the camera reported 1002"), std::string::npos)
      << result.problems[0];
  EXPECT_FALSE(result.files[1].sizeMatches());
  EXPECT_EQ(Listing().size(), 3u);
}

TEST_F(CaptureSessionTest, NoCameraWithinTheTimeout) {
  CaptureOptions options = Guarded(1);
  options.cameraTimeoutMs = 50;
  const CaptureResult result = Run("nocamera", options);
  EXPECT_EQ(result.outcome, CaptureResult::Outcome::kNoCamera);
  EXPECT_NE(result.message.find("no camera"), std::string::npos);
  EXPECT_TRUE(Listing().empty());
}

TEST_F(CaptureSessionTest, ATaskThatDiesMidCaptureEndsTheFlow) {
  const CaptureResult result = Run("crash-on-capture", Guarded(1));
  EXPECT_EQ(result.outcome, CaptureResult::Outcome::kTaskEnded);
  ASSERT_TRUE(mTask->waitForExit(20000));
  EXPECT_EQ(mTask->exitStatus().code, 7);
}

TEST_F(CaptureSessionTest, GarbageIsABadFrame) {
  const CaptureResult result = Run("garbage", Guarded(1));
  EXPECT_EQ(result.outcome, CaptureResult::Outcome::kBadFrame);
  EXPECT_NE(result.message.find("-5"), std::string::npos) << result.message;
}

}  // namespace
}  // namespace tether_host
