// The controller under SDK callbacks from other threads and from inside its
// own SDK calls: no deadlock, no data race (run under ThreadSanitizer), the
// damper driven from the main thread only.
#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <QDir>
#include <gtest/gtest.h>

#include "camera/KRV_SDK.h"
#include "tests/camera/controller_fixture.h"
#include "tests/camera/scratch_dir.h"

namespace {

class ThreadsTest : public ControllerTest {
 protected:
  void TearDown() override {
    // Posted main-thread calls still queued must find the controller gone.
    ControllerTest::TearDown();
    fake::PumpFor(0.1);
  }
  std::vector<fake::Message> reports() { return host().named("cameraSettingsChanged"); }

  template <typename F>
  static void OnOtherThread(F f) {
    std::thread t(f);
    t.join();
  }

  ScratchDir mTmp{/*asTmpDir=*/true};
  const std::thread::id mMain = std::this_thread::get_id();
};

TEST_F(ThreadsTest, ForeignThreadChangesAreReportedFromTheMainThread) {
  OnOtherThread([] { sdk().device(true, eKRV_SDK_ModelKMk3); });
  auto added = host().named("deviceAdded");
  ASSERT_EQ(added.size(), 1u);
  EXPECT_NE(added[0].thread, mMain);  // device events go out from their own thread

  // The pending mark set at connection reaches the main thread.
  ASSERT_TRUE(fake::PumpUntil([] { return Tether_qt::mNeedsUpdate; }, 10));

  OnOtherThread([] {
    sdk().changeInt(eKRV_SDK_PropIso, 320);
    sdk().changeInt(eKRV_SDK_PropIso, 640);
  });
  ASSERT_TRUE(fake::PumpUntil([&] { return reports().size() >= 2; }, 10));
  auto sent = reports();
  EXPECT_EQ(sent[0].thread, mMain);
  EXPECT_EQ(sent[1].thread, mMain);
  EXPECT_EQ(sent[1].number("isoSpeed"), 640);
  // Both changes were stored before the first report ran, so the report at
  // once already carries the last; the trailing one repeats it.
  EXPECT_EQ(sent[0].number("isoSpeed"), 640);
  fake::PumpFor(0.8);
  EXPECT_EQ(reports().size(), 2u);
}

// The SDK may call back synchronously from inside any of its functions,
// including the property read that the transfer callback makes itself.
TEST_F(ThreadsTest, SynchronousCallbacksInsideSdkCallsDoNotDeadlock) {
  sdk().setInt(eKRV_SDK_PropFileFormat, 0);
  connectQuietly(eKRV_SDK_ModelKMk3);
  sdk().onGetProperty = [](int id) {
    if (id == eKRV_SDK_PropFileFormat) sdk().changeInt(eKRV_SDK_PropWhiteBalance, 2);
  };
  sdk().onCapture = [] {
    sdk().frame(eKRV_SDK_TransferObjectName, "IMG_1", 5);
    sdk().frame(eKRV_SDK_TransferThumbnail, "t", 1);
    sdk().frame(eKRV_SDK_TransferEndDNG, "dng", 3);
  };
  sdk().onRequestClose = [] { sdk().device(false, eKRV_SDK_ModelKMk3); };
  sdk().onExit = [] { sdk().changeInt(eKRV_SDK_PropIso, 100); };

  mTether->capture();
  mTether->deinit();
  mTether->exit();
  EXPECT_EQ(host().named("objectWasAdded").at(0).string("file_name"), "IMG_1.dng");
  EXPECT_EQ(host().named("fileDownloadComplete").size(), 1u);
  EXPECT_EQ(host().named("deviceRemoved").size(), 1u);
  ASSERT_FALSE(reports().empty());
  EXPECT_EQ(reports()[0].string("whiteBalance"), "Cloudy");
}

// Callbacks on an SDK thread while the main thread waits inside capture,
// requestClose or exit must never wait for the main thread.
TEST_F(ThreadsTest, CallbacksWhileTheMainThreadIsInsideTheSdk) {
  sdk().setInt(eKRV_SDK_PropFileFormat, 0);
  connectQuietly(eKRV_SDK_ModelKXMk1);
  sdk().onCapture = [] {
    OnOtherThread([] {
      sdk().frame(eKRV_SDK_TransferObjectName, "IMG_2.JPG", 9);
      sdk().frame(eKRV_SDK_TransferThumbnail, "t", 1);
      sdk().changeDouble(eKRV_SDK_PropShutterTime, 0.5);
      sdk().frame(eKRV_SDK_TransferEndJPG, "jpg", 3);
    });
  };
  sdk().onRequestClose = [] {
    OnOtherThread([] { sdk().device(false, eKRV_SDK_ModelKXMk1); });
  };
  sdk().onExit = [] { OnOtherThread([] { sdk().changeInt(eKRV_SDK_PropIso, 3200); }); };

  mTether->capture();
  EXPECT_EQ(host().named("objectWasAdded").at(0).string("file_name"), "1_IMG_2.dng");
  EXPECT_EQ(host().named("fileDownloadComplete").at(0).string("file_path"),
            mTmp.file("TetherTMP1.JPG"));
  mTether->deinit();
  EXPECT_EQ(host().named("deviceRemoved").at(0).number("device_id"), eKRV_SDK_ModelKXMk1);
  mTether->exit();

  ASSERT_TRUE(fake::PumpUntil([&] { return reports().size() >= 2; }, 10));
  EXPECT_EQ(reports().back().number("isoSpeed"), 3200);
  EXPECT_EQ(reports().back().string("shutter"), "1/2");
}

// Two SDK threads transferring and changing settings while the main thread
// answers settings requests: every capture id is issued exactly once.
TEST_F(ThreadsTest, ConcurrentTransfersIssueEachCaptureIdOnce) {
  sdk().setInt(eKRV_SDK_PropFileFormat, 3);
  sdk().setDouble(eKRV_SDK_PropShutterTime, 0.01);
  connectQuietly(eKRV_SDK_ModelKMk3);
  const int kPerThread = 40;
  std::atomic<int> finished{0};
  auto worker = [&](int n) {
    for (int i = 0; i < kPerThread; ++i) {
      const std::string name = "T" + std::to_string(n) + "_" + std::to_string(i);
      sdk().frame(eKRV_SDK_TransferObjectName, name.data(), name.size());
      int32_t orientation = (i % 2) ? 3 : 8;
      sdk().frame(eKRV_SDK_TransferOrientation, &orientation, 4);
      sdk().frame(eKRV_SDK_TransferThumbnail, name.data(), name.size());
      sdk().frame(eKRV_SDK_TransferEndJPG, name.data(), name.size());
      sdk().changeInt(eKRV_SDK_PropIso, 100 + i);
      sdk().changeDouble(eKRV_SDK_PropAperture, 2.8);
    }
    ++finished;
  };
  std::thread a(worker, 1), b(worker, 2);
  int requests = 0;
  while (finished.load() < 2) {
    mTether->getCameraSettingsWithMessageId(++requests, nullptr);
    fake::PumpFor(0.01);
  }
  a.join();
  b.join();
  ASSERT_TRUE(fake::PumpUntil([&] { return !Tether_qt::mNeedsUpdate; }, 10));

  std::vector<int> added, thumbs;
  for (const auto& m : host().named("objectWasAdded")) added.push_back(int(m.number("capture_id")));
  for (const auto& m : host().named("thumbnailWasDownloaded")) {
    thumbs.push_back(int(m.number("capture_id")));
  }
  std::sort(added.begin(), added.end());
  std::sort(thumbs.begin(), thumbs.end());
  std::vector<int> expected(2 * kPerThread);
  for (int i = 0; i < 2 * kPerThread; ++i) expected[i] = i + 1;
  EXPECT_EQ(added, expected);
  EXPECT_EQ(thumbs, expected);
  EXPECT_EQ(host().named("fileDownloadComplete").size(), size_t(2 * kPerThread));
  EXPECT_EQ(host().named("ok").size(), size_t(requests));
  for (const auto& m : reports()) EXPECT_EQ(m.thread, mMain);
}

}  // namespace
