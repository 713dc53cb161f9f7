// The tether service's timing: the Qt tick it schedules, and the order of its
// stop sequence against the Qt events it drains. Against the camera tests'
// recording fakes of the SDK and of the host link, with a recording scheduler.
#include <memory>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <gtest/gtest.h>

#include "camera/KRV_SDK.h"
#include "source/mac_source/ImageCaptureTetherService.h"
#include "tests/camera/camera_fakes.h"
#include "tests/source/mac_source/recording_scheduler.h"

namespace {

// Runs `task` at the next drain of Qt's events on this thread.
template <typename F>
void PostQtEvent(F task) {
  QMetaObject::invokeMethod(QCoreApplication::instance(), task, Qt::QueuedConnection);
}

class TetherServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    sdk().reset();
    host().reset();
    mService = std::make_unique<ImageCaptureTetherService>(mScheduler);
  }
  void TearDown() override {
    mService.reset();
    sdk().reset();
  }
  static fake::Sdk& sdk() { return fake::Sdk::get(); }
  static fake::Host& host() { return fake::Host::get(); }

  RecordingScheduler mScheduler;
  std::unique_ptr<ImageCaptureTetherService> mService;
};

TEST_F(TetherServiceTest, ATimerEveryFiftiethOfASecondDrainsQtEvents) {
  EXPECT_EQ(sdk().calls(), std::vector<std::string>{"init"});
  ASSERT_EQ(mScheduler.timers.size(), 1u);
  const auto tickId = mScheduler.timers.begin()->first;
  RecordingScheduler::Timer& tick = mScheduler.timers.begin()->second;
  EXPECT_DOUBLE_EQ(tick.interval, 0.05);

  bool ran = false;
  PostQtEvent([&ran] { ran = true; });
  EXPECT_FALSE(ran);
  tick.task();
  EXPECT_TRUE(ran);

  mService.reset();
  EXPECT_FALSE(mScheduler.timers.at(tickId).valid);
  EXPECT_TRUE(mScheduler.delays.empty());
}

// Qt events queued while the camera closes (here a pending settings report
// at the end of its damper window) are drained before the SDK shuts down, and
// those queued while it shuts down before the sequence returns.
TEST_F(TetherServiceTest, StopSequenceDrainsQtEventsAfterTheCloseAndAfterTheExit) {
  Tether_qt& tether = mService->tetherQt();
  sdk().device(true, eKRV_SDK_ModelKMk3);
  sdk().changeInt(eKRV_SDK_PropIso, 200);  // reported at once; a window opens
  sdk().changeInt(eKRV_SDK_PropIso, 400);  // pending until the window's end
  host().reset();
  sdk().reset();

  size_t reportsAtExit = 0;
  sdk().onRequestClose = [&tether] {
    // The window ends while the camera closes: its timeout queues the report.
    QMetaObject::invokeMethod(&tether, "slotDoUpdate", Qt::QueuedConnection);
    PostQtEvent([] { sdk().record("Qt event queued at close"); });
  };
  sdk().onExit = [&reportsAtExit] {
    reportsAtExit = host().named("cameraSettingsChanged").size();
    PostQtEvent([] { sdk().record("Qt event queued at exit"); });
  };
  mService->cancelAllRemainingDownloads();

  EXPECT_EQ(sdk().calls(), (std::vector<std::string>{"requestClose", "Qt event queued at close",
                                                     "exit", "Qt event queued at exit"}));
  EXPECT_EQ(reportsAtExit, 1u);
  auto reports = host().named("cameraSettingsChanged");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].number("isoSpeed"), 400);
}

}  // namespace
