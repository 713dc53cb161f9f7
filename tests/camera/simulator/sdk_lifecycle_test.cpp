// Start, camera connection, property access, close and exit of the
// simulated SDK, through its C interface.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "tests/camera/simulator/sim_fixture.h"

namespace krv_test {
namespace {

bool SocketExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

using LifecycleTest = SimTest;

TEST_F(LifecycleTest, DefaultCameraConnectsFromTheWorkerAndAnswersDefaults) {
  startWithCamera();
  const auto devices = recorder.devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_TRUE(devices[0].connected);
  EXPECT_EQ(devices[0].model, 8241);
  EXPECT_NE(devices[0].thread, std::this_thread::get_id());

  double aperture = 0, shutter = 0;
  int32_t iso = 0, format = -1, wb = -1;
  uint8_t accepted = 0;
  EXPECT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropAperture, &aperture, 8));
  EXPECT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropShutterTime, &shutter, 8));
  EXPECT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropIso, &iso, 4));
  EXPECT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropFileFormat, &format, 4));
  EXPECT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropWhiteBalance, &wb, 4));
  EXPECT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropHostAccepted, &accepted, 1));
  EXPECT_EQ(aperture, 5.6);
  EXPECT_EQ(shutter, 1.0 / 125.0);
  EXPECT_EQ(iso, 400);
  EXPECT_EQ(format, 0);
  EXPECT_EQ(wb, 1);
  EXPECT_EQ(accepted, 1) << "the recorder accepted the camera like the task does";
}

TEST_F(LifecycleTest, ReadsWithWrongSizeUnknownIdOrNoBufferFail) {
  startWithCamera();
  uint8_t buffer[16];
  std::memset(buffer, 0xAB, sizeof(buffer));
  EXPECT_FALSE(KRV_SDK_getProperty(eKRV_SDK_PropAperture, buffer, 4));
  EXPECT_FALSE(KRV_SDK_getProperty(eKRV_SDK_PropIso, buffer, 8));
  EXPECT_FALSE(KRV_SDK_getProperty(eKRV_SDK_PropHostAccepted, buffer, 4));
  EXPECT_FALSE(KRV_SDK_getProperty(7, buffer, 4));
  EXPECT_FALSE(KRV_SDK_getProperty(eKRV_SDK_PropIso, nullptr, 4));
  for (uint8_t b : buffer) EXPECT_EQ(b, 0xAB) << "a failed read must not touch the buffer";

  // Writes are checked the same way and change nothing when refused.
  const int32_t small = 1;
  EXPECT_FALSE(KRV_SDK_setProperty(eKRV_SDK_PropAperture, &small, 4));
  EXPECT_FALSE(KRV_SDK_setProperty(7, &small, 4));
  EXPECT_FALSE(KRV_SDK_setProperty(eKRV_SDK_PropIso, nullptr, 4));
  double aperture = 0;
  EXPECT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropAperture, &aperture, 8));
  EXPECT_EQ(aperture, 5.6);
}

TEST_F(LifecycleTest, WithoutCameraReadsWritesCaptureAndCloseFail) {
  ::setenv("KRV_SIM_MODEL", "none", 1);
  ASSERT_TRUE(recorder.init());
  connectControl();
  int32_t iso = 0;
  const int32_t value = 800;
  EXPECT_FALSE(KRV_SDK_getProperty(eKRV_SDK_PropIso, &iso, 4));
  EXPECT_FALSE(KRV_SDK_setProperty(eKRV_SDK_PropIso, &value, 4));
  EXPECT_FALSE(KRV_SDK_capture());
  EXPECT_FALSE(KRV_SDK_requestClose());

  // Once the control socket plugs a camera in, the first device event is
  // that one: nothing was queued by the calls above.
  ok("connect 8209");
  const auto devices = recorder.devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_TRUE(devices[0].connected);
  EXPECT_EQ(devices[0].model, 8209);
  EXPECT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropIso, &iso, 4));
  EXPECT_EQ(iso, 400);
  EXPECT_TRUE(recorder.frames().empty());
}

TEST_F(LifecycleTest, ModelAndDelayComeFromTheEnvironment) {
  ::setenv("KRV_SIM_MODEL", "8273", 1);
  ::setenv("KRV_SIM_CONNECT_DELAY_MS", "0", 1);
  ASSERT_TRUE(recorder.init());
  ASSERT_TRUE(recorder.waitForConnected(8273));
  EXPECT_EQ(recorder.devices().size(), 1u);
}

TEST_F(LifecycleTest, SetPropertyIsConfirmedByAChangeFromTheWorker) {
  startWithCamera();
  const int32_t iso = 1600;
  ASSERT_TRUE(KRV_SDK_setProperty(eKRV_SDK_PropIso, &iso, 4));
  ASSERT_TRUE(recorder.waitFor([&] {
    for (const auto& c : recorder.changeEvents) {
      if (c.code == eKRV_SDK_PropIso) return true;
    }
    return false;
  }));
  PayloadEvent change{};
  for (const auto& c : recorder.changes()) {
    if (c.code == eKRV_SDK_PropIso) change = c;
  }
  EXPECT_EQ(change.size, 4u);
  EXPECT_EQ(AsInt32(change.bytes), 1600);
  EXPECT_NE(change.thread, std::this_thread::get_id());
  int32_t read = 0;
  EXPECT_TRUE(KRV_SDK_getProperty(eKRV_SDK_PropIso, &read, 4));
  EXPECT_EQ(read, 1600);
}

TEST_F(LifecycleTest, RequestCloseDisconnectsThroughTheWorker) {
  startWithCamera();
  ASSERT_TRUE(KRV_SDK_requestClose());
  ASSERT_TRUE(recorder.waitFor([&] { return recorder.deviceEvents.size() == 2; }));
  const DeviceEvent gone = recorder.devices()[1];
  EXPECT_FALSE(gone.connected);
  EXPECT_EQ(gone.model, 8241);
  EXPECT_NE(gone.thread, std::this_thread::get_id());
  int32_t iso;
  EXPECT_FALSE(KRV_SDK_getProperty(eKRV_SDK_PropIso, &iso, 4));
  EXPECT_FALSE(KRV_SDK_capture());
  EXPECT_FALSE(KRV_SDK_requestClose()) << "nothing left to close";
}

// The task's stop sequence: a close asked for right before exit is reported
// before exit returns, every time; a camera still to plug in never does.
TEST_F(LifecycleTest, ExitDeliversTheDisconnectionACloseQueued) {
  ::setenv("KRV_SIM_CONNECT_DELAY_MS", "0", 1);
  for (int round = 0; round < 20; ++round) {
    SdkRecorder session;
    ASSERT_TRUE(session.init());
    ASSERT_TRUE(session.waitForConnected(8241));
    ASSERT_TRUE(KRV_SDK_requestClose());
    ASSERT_TRUE(KRV_SDK_exit());
    const auto devices = session.devices();
    ASSERT_EQ(devices.size(), 2u) << "round " << round;
    EXPECT_FALSE(devices[1].connected);
    EXPECT_EQ(devices[1].model, 8241);
  }
  ::setenv("KRV_SIM_CONNECT_DELAY_MS", "600000", 1);
  SdkRecorder late;
  ASSERT_TRUE(late.init());
  ASSERT_TRUE(KRV_SDK_exit());
  EXPECT_TRUE(late.devices().empty());
}

TEST_F(LifecycleTest, ControlSocketLivesFromInitToExit) {
  EXPECT_FALSE(SocketExists(socketPath));
  ASSERT_TRUE(recorder.init());
  EXPECT_TRUE(SocketExists(socketPath));
  connectControl();
  EXPECT_EQ(control.command("ping"), "ok pong");
  EXPECT_TRUE(KRV_SDK_exit());
  EXPECT_FALSE(SocketExists(socketPath));
  // The server closed our connection on the way out.
  EXPECT_EQ(control.command("ping").rfind("error io:", 0), 0u);
}

TEST_F(LifecycleTest, StaleSocketFileIsReplaced) {
  // What a process killed before KRV_SDK_exit leaves behind.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socketPath.c_str(), sizeof(addr.sun_path) - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ::close(fd);
  ASSERT_TRUE(SocketExists(socketPath));

  ASSERT_TRUE(recorder.init());
  connectControl();
  EXPECT_EQ(control.command("ping"), "ok pong");
}

TEST_F(LifecycleTest, ExitIsIdempotentAndInitWorksAgain) {
  startWithCamera();
  EXPECT_FALSE(recorder.init()) << "a second init while running is refused";
  EXPECT_TRUE(KRV_SDK_exit());
  EXPECT_TRUE(KRV_SDK_exit());
  EXPECT_FALSE(KRV_SDK_capture());
  int32_t iso;
  EXPECT_FALSE(KRV_SDK_getProperty(eKRV_SDK_PropIso, &iso, 4));
  EXPECT_FALSE(KRV_SDK_setFrameCallback(&SdkRecorder::frameCallback, &recorder));

  SdkRecorder second;
  ASSERT_TRUE(second.init());
  ASSERT_TRUE(second.waitForConnected(8241));
  ASSERT_TRUE(KRV_SDK_capture());
  ASSERT_TRUE(second.waitForFrames(7));
  EXPECT_EQ(recorder.devices().size(), 1u) << "the first session's callbacks are gone";
  EXPECT_TRUE(recorder.frames().empty());
  // A new session numbers its captures from 1 again.
  const auto name = second.lastFrame(eKRV_SDK_TransferObjectName);
  EXPECT_EQ(std::string(name.begin(), name.end()), "IMG_0001");
  KRV_SDK_exit();
}

}  // namespace
}  // namespace krv_test
