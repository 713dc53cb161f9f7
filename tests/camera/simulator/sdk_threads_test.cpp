// Which thread the callbacks come from, SDK calls made from inside
// callbacks, and exit racing with running callbacks.
#include <atomic>
#include <chrono>
#include <thread>

#include "tests/camera/simulator/sim_fixture.h"

namespace krv_test {
namespace {

using ThreadsTest = SimTest;

const std::vector<int> kFullCapture = {0, 8, 1, 2, 4, 3, 5};

TEST_F(ThreadsTest, WorkerDeliversCaptureAndChangesOffTheCallingThread) {
  startWithCamera();
  ASSERT_TRUE(KRV_SDK_capture());
  ASSERT_TRUE(recorder.waitForFrames(kFullCapture.size()));
  for (const auto& f : recorder.frames()) EXPECT_NE(f.thread, std::this_thread::get_id());
  EXPECT_EQ(recorder.frameStates(), kFullCapture);
}

class SyncModeTest : public SimTest, public ::testing::WithParamInterface<bool> {};

// Synchronous callbacks, switched on by the environment or by the control
// socket: capture and property events arrive on the calling thread before
// the call returns; connection events still come from the worker.
TEST_P(SyncModeTest, CaptureAndSetPropertyCallBackBeforeReturning) {
  const bool viaEnvironment = GetParam();
  if (viaEnvironment) ::setenv("KRV_SIM_SYNC_CALLBACKS", "1", 1);
  startWithCamera();
  if (!viaEnvironment) ok("sync on");
  EXPECT_NE(recorder.devices()[0].thread, std::this_thread::get_id());
  const size_t changesBefore = recorder.changes().size();

  ASSERT_TRUE(KRV_SDK_capture());
  const auto frames = recorder.frames();
  ASSERT_EQ(frames.size(), kFullCapture.size());
  for (const auto& f : frames) EXPECT_EQ(f.thread, std::this_thread::get_id());

  const double aperture = 8.0;
  ASSERT_TRUE(KRV_SDK_setProperty(eKRV_SDK_PropAperture, &aperture, 8));
  const auto changes = recorder.changes();
  ASSERT_EQ(changes.size(), changesBefore + 1);
  EXPECT_EQ(changes.back().code, eKRV_SDK_PropAperture);
  EXPECT_EQ(AsDouble(changes.back().bytes), 8.0);
  EXPECT_EQ(changes.back().thread, std::this_thread::get_id());

  if (!viaEnvironment) {
    ok("sync off");
    ASSERT_TRUE(KRV_SDK_capture());
    ASSERT_TRUE(recorder.waitForFrames(2 * kFullCapture.size()));
    EXPECT_NE(recorder.frames().back().thread, std::this_thread::get_id());
  }
}

INSTANTIATE_TEST_SUITE_P(EnvironmentOrControl, SyncModeTest, ::testing::Bool());

class ReentrancyTest : public SimTest, public ::testing::WithParamInterface<bool> {};

// Every callback calls back into the SDK while the main thread and a second
// thread keep calling it too; with or without synchronous callbacks nothing
// may deadlock and nothing may be lost.
TEST_P(ReentrancyTest, CallbacksMayCallTheSdkWhileOtherThreadsDo) {
  if (GetParam()) ::setenv("KRV_SIM_SYNC_CALLBACKS", "1", 1);
  std::atomic<int> thumbnails{0};
  std::atomic<int> readsInCallbacks{0};
  recorder.onFrame = [&](const PayloadEvent& e) {
    int32_t format = 0;
    if (KRV_SDK_getProperty(eKRV_SDK_PropFileFormat, &format, 4)) ++readsInCallbacks;
    if (e.code == eKRV_SDK_TransferThumbnail) {
      ++thumbnails;
      const int32_t wb = 2;
      KRV_SDK_setProperty(eKRV_SDK_PropWhiteBalance, &wb, 4);
      KRV_SDK_setFrameCallback(&SdkRecorder::frameCallback, &recorder);
    }
  };
  recorder.onChange = [&](const PayloadEvent& e) {
    std::vector<uint8_t> buffer(e.size == 8 ? 8 : 4);
    KRV_SDK_getProperty(e.code, buffer.data(), static_cast<unsigned int>(buffer.size()));
    KRV_SDK_setChangesCallback(&SdkRecorder::changesCallback, &recorder);
  };
  startWithCamera();

  constexpr int kCaptures = 6;
  std::thread setter([&] {
    for (int i = 0; i < 50; ++i) {
      const int32_t iso = 100 * (i + 1);
      KRV_SDK_setProperty(eKRV_SDK_PropIso, &iso, 4);
      int32_t read;
      KRV_SDK_getProperty(eKRV_SDK_PropIso, &read, 4);
    }
  });
  for (int i = 0; i < kCaptures; ++i) ASSERT_TRUE(KRV_SDK_capture());
  setter.join();
  ASSERT_TRUE(recorder.waitFor([&] { return thumbnails.load() == kCaptures; }));
  ASSERT_TRUE(recorder.waitForFrames(kCaptures * kFullCapture.size()));
  const int expectedReads = static_cast<int>(kCaptures * kFullCapture.size());
  ASSERT_TRUE(recorder.waitFor([&] { return readsInCallbacks.load() >= expectedReads; }));
  EXPECT_EQ(recorder.frames().size(), kCaptures * kFullCapture.size());

  // Close from the main thread while the worker may still be busy with
  // the changes the callbacks caused.
  ASSERT_TRUE(KRV_SDK_requestClose());
  ASSERT_TRUE(recorder.waitFor([&] { return recorder.deviceEvents.size() == 2; }));
  EXPECT_TRUE(KRV_SDK_exit());
}

INSTANTIATE_TEST_SUITE_P(WorkerOrSync, ReentrancyTest, ::testing::Bool());

// Exit, called from another thread while a frame callback is running, waits
// for that callback, delivers the capture queued behind it and prevents every
// later callback.
TEST_F(ThreadsTest, ExitWaitsForARunningCallbackDeliversTheQueueAndStopsLaterOnes) {
  std::atomic<bool> blocked{false}, release{false}, exitReturned{false};
  std::atomic<bool> exitReturnedSeenInCallback{false}, callbackFinished{false};
  std::atomic<int> callsAfterExit{0};
  recorder.onFrame = [&](const PayloadEvent& e) {
    if (exitReturned) ++callsAfterExit;
    if (e.code != eKRV_SDK_TransferThumbnail || blocked.exchange(true)) return;
    while (!release) std::this_thread::yield();
    exitReturnedSeenInCallback = exitReturned.load();
    callbackFinished = true;
  };
  startWithCamera();
  ASSERT_TRUE(KRV_SDK_capture());
  ASSERT_TRUE(KRV_SDK_capture());
  while (!blocked) std::this_thread::yield();

  std::atomic<bool> exitStarted{false};
  std::thread stopper([&] {
    exitStarted = true;
    EXPECT_TRUE(KRV_SDK_exit());
    exitReturned = true;
  });
  while (!exitStarted) std::this_thread::yield();
  // Give a faulty exit every chance to return early.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(exitReturned.load());
  release = true;
  stopper.join();
  EXPECT_TRUE(callbackFinished.load());
  EXPECT_FALSE(exitReturnedSeenInCallback.load());

  const size_t framesAtExit = recorder.frames().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(recorder.frames().size(), framesAtExit);
  EXPECT_EQ(callsAfterExit.load(), 0);
  EXPECT_EQ(framesAtExit, 2 * kFullCapture.size()) << "the queued second capture is delivered";
}

class ExitInsideCallbackTest : public SimTest, public ::testing::WithParamInterface<bool> {};

// A callback may end the SDK itself; the rest of that capture is dropped and
// the SDK can be started again afterwards.
TEST_P(ExitInsideCallbackTest, ExitFromACallbackReturnsAndEndsDelivery) {
  if (GetParam()) ::setenv("KRV_SIM_SYNC_CALLBACKS", "1", 1);
  std::atomic<int> exitResult{-1};
  recorder.onFrame = [&](const PayloadEvent& e) {
    if (e.code == eKRV_SDK_TransferThumbnail) exitResult = KRV_SDK_exit() ? 1 : 0;
  };
  startWithCamera();
  ASSERT_TRUE(KRV_SDK_capture());
  ASSERT_TRUE(recorder.waitFor([&] { return exitResult.load() != -1; }));
  EXPECT_EQ(exitResult.load(), 1);
  // Further SDK calls see a stopped SDK, and later events never come.
  EXPECT_FALSE(KRV_SDK_capture());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(recorder.frameStates(), (std::vector<int>{0, 8, 1}));

  SdkRecorder again;
  ASSERT_TRUE(again.init());
  ASSERT_TRUE(again.waitForConnected(8241));
  ASSERT_TRUE(KRV_SDK_capture());
  ASSERT_TRUE(again.waitForFrames(kFullCapture.size()));
  KRV_SDK_exit();
}

INSTANTIATE_TEST_SUITE_P(WorkerOrSync, ExitInsideCallbackTest, ::testing::Bool());

// Synchronous captures on one thread while another thread exits: each
// capture either delivers or is refused, and nothing arrives after exit.
TEST_F(ThreadsTest, SynchronousCapturesRacingWithExit) {
  ::setenv("KRV_SIM_SYNC_CALLBACKS", "1", 1);
  std::atomic<bool> exited{false};
  std::atomic<int> callsAfterExit{0};
  recorder.onFrame = [&](const PayloadEvent&) {
    if (exited) ++callsAfterExit;
  };
  startWithCamera();
  std::atomic<bool> stop{false};
  std::atomic<int> accepted{0};
  std::thread shooter([&] {
    while (!stop) {
      if (KRV_SDK_capture()) ++accepted;
    }
  });
  ASSERT_TRUE(recorder.waitForFrames(3 * kFullCapture.size()));
  EXPECT_TRUE(KRV_SDK_exit());
  exited = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  stop = true;
  shooter.join();
  EXPECT_EQ(callsAfterExit.load(), 0);
  EXPECT_GE(accepted.load(), 3);
}

}  // namespace
}  // namespace krv_test
