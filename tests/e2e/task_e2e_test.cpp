// The task from end to end: the built executable over real pipes, driving the
// simulated camera SDK.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/client/HostMessage.h"
#include "tests/e2e/task_fixture.h"

namespace tether_e2e {
namespace {

using tether_host::EncodeFrame;
using tether_host::HostMessage;
using tether_host::TaskProcess;

// The stop sequence ran: the will-terminate line was logged and the SDK was
// asked to close the camera and to shut down.
void ExpectStopSequence(const std::string& log, const std::string& counts) {
  EXPECT_NE(log.find("application received willShutdown notification"), std::string::npos) << log;
  EXPECT_NE(counts.find("requestClose=1"), std::string::npos) << counts;
  EXPECT_NE(counts.find("exit=1"), std::string::npos) << counts;
}

TEST_F(TaskTest, CaptureDeliversObjectThumbnailAndBothFiles) {
  startTask();
  HostMessage added = expect("deviceAdded");
  EXPECT_EQ(added.id, 0);
  EXPECT_EQ(added.number("device_id"), 8241);
  EXPECT_EQ(added.string("name"), "Orvak K (Mk 3)");

  ASSERT_GT(task().send("doCapture", nullptr), 0);
  HostMessage object = expect("objectWasAdded");
  EXPECT_EQ(object.id, 0);
  EXPECT_EQ(object.number("capture_id"), 1);
  EXPECT_EQ(object.number("has_sidecar"), 0);
  EXPECT_EQ(object.string("file_name"), "IMG_0001.dng");
  EXPECT_EQ(object.string("image_orientation"), "AB");

  HostMessage thumbnail = expect("thumbnailWasDownloaded");
  EXPECT_EQ(thumbnail.number("capture_id"), 1);
  const ZyLuaTEData* thumb = thumbnail.data("thumbnail_data");
  ASSERT_NE(thumb, nullptr);
  ASSERT_GT(thumb->mLength, 4);
  EXPECT_EQ(static_cast<const unsigned char*>(thumb->mBytes)[0], 0xFF);  // a JPEG
  EXPECT_EQ(static_cast<const unsigned char*>(thumb->mBytes)[1], 0xD8);

  // Both files, written whole under their final names and reported by path.
  for (const char* extension : {".DNG", ".JPG"}) {
    HostMessage file = expect("fileDownloadComplete");
    EXPECT_EQ(file.number("capture_id"), 1);
    const std::string path = file.string("file_path").value_or("");
    EXPECT_EQ(path, imageDir() + "/TetherTMP1" + extension);
    const std::string bytes = FileBytes(path);
    EXPECT_EQ(static_cast<double>(bytes.size()), file.number("file_size").value_or(-1));
    if (std::string(extension) == ".JPG") {
      EXPECT_EQ(bytes.substr(0, 2), "\xFF\xD8");
    } else {
      EXPECT_EQ(bytes.substr(0, 4), std::string("II*\0", 4));  // little-endian TIFF
    }
  }

  // The second capture counts on.
  ASSERT_GT(task().send("doCapture", nullptr), 0);
  EXPECT_EQ(expect("objectWasAdded").number("capture_id"), 2);

  ASSERT_GT(task().send("shutdown", nullptr), 0);
  ExpectCleanExit(task());
}

TEST_F(TaskTest, KxNamesItsObjectsWithTheCaptureIdAndRawExtension) {
  startTask({"KRV_SIM_MODEL=8257"});
  EXPECT_EQ(expect("deviceAdded").string("name"), "Orvak KX (Mk 1)");
  ASSERT_GT(task().send("doCapture", nullptr), 0);
  // Reported as IMG_0001.JPG; the JPEG extension becomes the raw one.
  EXPECT_EQ(expect("objectWasAdded").string("file_name"), "1_IMG_0001.dng");
}

TEST_F(TaskTest, SettingsRequestIsAnsweredWithItsOwnId) {
  startTask();
  expect("deviceAdded");
  ASSERT_TRUE(task().sendWithId(4242, "getCameraSettings", nullptr));
  HostMessage ok = expect("ok");
  EXPECT_EQ(ok.id, 4242);
  EXPECT_EQ(ok.number("isoSpeed"), 400);
  EXPECT_EQ(ok.number("aperture"), 5.6);
  EXPECT_EQ(ok.string("shutter"), "1/125");
  EXPECT_EQ(ok.string("whiteBalance"), "Daylight");
}

// A command that produces a log line after the one under test: once it is
// logged, any reply to the earlier command would already be on the pipe.
void SendFence(TaskProcess& task) { ASSERT_GT(task.send("getCaptureInfo", nullptr), 0); }

TEST_F(TaskTest, NoCameraMeansNoSettingsReply) {
  startTask({"KRV_SIM_MODEL=0"});
  ASSERT_GT(task().send("getCameraSettings", nullptr), 0);
  SendFence(task());
  ASSERT_TRUE(waitForLog("getCaptureInfoWithMessageId"));
  EXPECT_TRUE(drain().empty());
  EXPECT_NE(taskLog().find("Received message: getCameraSettings"), std::string::npos);
}

TEST_F(TaskTest, UnknownAndWrongCaseCommandsAreOnlyLogged) {
  startTask();
  expect("deviceAdded");
  for (const char* name : {"GetCameraSettings", "getCameraSettings ", "fly", ""}) {
    ASSERT_GT(task().send(name, nullptr), 0);
  }
  SendFence(task());
  ASSERT_TRUE(waitForLog("getCaptureInfoWithMessageId"));
  EXPECT_TRUE(drain().empty());
  const std::string log = taskLog();
  EXPECT_NE(log.find("Received message: GetCameraSettings\n"), std::string::npos);
  EXPECT_NE(log.find("Received message: fly\n"), std::string::npos);
  EXPECT_NE(log.find("Received message: \n"), std::string::npos);
}

TEST_F(TaskTest, ShutdownInABurstEndsBeforeTheRest) {
  startTask();
  expect("deviceAdded");
  // One write: a capture-info request, "shutdown", then a settings request
  // that must never be dispatched.
  const std::string burst = EncodeFrame(1, "getCaptureInfo", nullptr) +
                            EncodeFrame(2, "shutdown", nullptr) +
                            EncodeFrame(3, "getCameraSettings", nullptr);
  ASSERT_TRUE(task().sendRaw(burst));
  ExpectCleanExit(task());
  for (const HostMessage& message : drain()) EXPECT_NE(message.name, "ok");
  const std::string log = taskLog();
  EXPECT_NE(log.find("Received message: shutdown"), std::string::npos);
  EXPECT_EQ(log.find("Received message: getCameraSettings"), std::string::npos);
  ExpectStopSequence(log, countsAtExit());
}

TEST_F(TaskTest, EndOfInputRunsTheStopSequence) {
  startTask();
  expect("deviceAdded");
  task().closeInput();
  ExpectCleanExit(task());
  ExpectStopSequence(taskLog(), countsAtExit());
}

TEST_F(TaskTest, SigtermRunsTheStopSequence) {
  startTask();
  expect("deviceAdded");
  ASSERT_EQ(kill(task().pid(), SIGTERM), 0);
  ExpectCleanExit(task());
  ExpectStopSequence(taskLog(), countsAtExit());
}

// The stop sequence closes a connected camera before the SDK shuts down; the
// host hears of it before the task ends, every time.
TEST_F(TaskTest, ShutdownReportsTheConnectedCameraRemoved) {
  for (int round = 0; round < 10; ++round) {
    startTask();
    expect("deviceAdded");
    ASSERT_GT(task().send("shutdown", nullptr), 0);
    EXPECT_EQ(expect("deviceRemoved").number("device_id"), 8241) << "round " << round;
    ExpectCleanExit(task());
    takeSeen();
  }
}

TEST_F(TaskTest, FrameSplitAcrossManyWrites) {
  startTask();
  expect("deviceAdded");
  const std::string frame = EncodeFrame(77, "getCameraSettings", nullptr);
  for (char byte : frame) {
    ASSERT_TRUE(task().sendRaw(std::string(1, byte)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(expect("ok").id, 77);
}

TEST_F(TaskTest, CameraConnectedDuringStartUpIsAnnounced) {
  // The camera connects while the SDK starts, before launching has finished.
  startTask({"KRV_SIM_CONNECT_DELAY_MS=0"});
  HostMessage added = expect("deviceAdded");
  EXPECT_EQ(added.number("device_id"), 8241);
}

TEST_F(TaskTest, SettingsBurstGivesOneImmediateAndOneTrailingReport) {
  startTask();
  expect("deviceAdded");
  // A quiet spell first, so that the damper is idle.
  mustControl("flush");
  const auto start = std::chrono::steady_clock::now();
  mustControl("burst 5");  // ISO 100, 200, 400, 800, 1600
  const auto burstTook = std::chrono::steady_clock::now() - start;

  HostMessage first = expect("cameraSettingsChanged");
  EXPECT_EQ(first.id, 0);
  HostMessage trailing = expect("cameraSettingsChanged");
  EXPECT_EQ(trailing.number("isoSpeed"), 1600);  // the last value wins
  if (burstTook < std::chrono::milliseconds(400)) {
    // The whole burst fell into one damper window: the first change went
    // out at once, the rest merged into the trailing report.
    SendFence(task());
    ASSERT_TRUE(waitForLog("getCaptureInfoWithMessageId"));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));  // past any window
    for (const HostMessage& message : drain()) EXPECT_NE(message.name, "cameraSettingsChanged");
  }
}

}  // namespace
}  // namespace tether_e2e
