// The controller against the real simulated SDK library (its callbacks come
// from the simulator's worker thread), driven through its environment knobs
// and its control socket.
#include <stdlib.h>

#include <memory>
#include <string>
#include <thread>

#include <QDir>
#include <gtest/gtest.h>

#include "camera/KRV_SDK.h"
#include "camera/Tether_qt.h"
#include "camera/simulator/control_client.h"
#include "tests/camera/camera_fakes.h"
#include "tests/camera/scratch_dir.h"

namespace {

class SimulatorTest : public testing::Test {
 protected:
  void SetUp() override {
    fake::Host::get().reset();
    setenv("KRV_SIM_MODEL", "8257", 1);
    setenv("KRV_SIM_CONNECT_DELAY_MS", "0", 1);
    setenv("KRV_SIM_FILE_FORMAT", "0", 1);
    setenv("KRV_SIM_ORIENTATION", "8", 1);
    setenv("KRV_SIM_CONTROL", mControlPath.c_str(), 1);
    mTether = std::make_unique<Tether_qt>();
    mTether->init();
  }
  void TearDown() override {
    mTether->exit();  // joins the simulator's threads: no callback after this
    fake::PumpFor(0.1);
    mTether.reset();
    for (const char* knob : {"KRV_SIM_MODEL", "KRV_SIM_CONNECT_DELAY_MS", "KRV_SIM_FILE_FORMAT",
                             "KRV_SIM_ORIENTATION", "KRV_SIM_CONTROL"}) {
      unsetenv(knob);
    }
  }

  static std::vector<fake::Message> named(const char* name) {
    return fake::Host::get().named(name);
  }
  static bool waitFor(const char* name, size_t count) {
    return fake::PumpUntil([&] { return named(name).size() >= count; }, 20);
  }

  ScratchDir mTmp{/*asTmpDir=*/true};
  std::string mControlPath = mTmp.file("control.sock");
  std::unique_ptr<Tether_qt> mTether;
};

TEST_F(SimulatorTest, ConnectCaptureChangeAndClose) {
  ASSERT_TRUE(waitFor("deviceAdded", 1));
  auto added = named("deviceAdded")[0];
  EXPECT_EQ(added.number("device_id"), eKRV_SDK_ModelKXMk1);
  EXPECT_EQ(added.string("name"), "Orvak KX (Mk 1)");

  mTether->getCameraSettingsWithMessageId(12, nullptr);
  auto ok = named("ok");
  ASSERT_EQ(ok.size(), 1u);
  EXPECT_EQ(ok[0].id, 12);
  EXPECT_EQ(ok[0].keys().size(), 4u);

  mTether->capture();
  ASSERT_TRUE(waitFor("fileDownloadComplete", 2));
  auto object = named("objectWasAdded").at(0);
  EXPECT_EQ(object.number("capture_id"), 1);
  EXPECT_EQ(object.string("image_orientation"), "DA");
  const std::string fileName = object.string("file_name");
  EXPECT_EQ(fileName.rfind("1_", 0), 0u) << fileName;
  EXPECT_EQ(fileName.substr(fileName.size() - 4), ".dng") << fileName;
  EXPECT_EQ(named("thumbnailWasDownloaded").size(), 1u);

  for (const auto& done : named("fileDownloadComplete")) {
    const std::string path = done.string("file_path");
    const std::string bytes = ScratchDir::readFile(path);
    EXPECT_EQ(done.number("capture_id"), 1);
    EXPECT_EQ(bytes.size(), size_t(done.number("file_size"))) << path;
    if (path == mTmp.file("TetherTMP1.JPG")) {
      EXPECT_EQ(bytes.substr(0, 2), "\xff\xd8");
    } else {
      EXPECT_EQ(path, mTmp.file("TetherTMP1.DNG"));
      EXPECT_TRUE(bytes.substr(0, 4) == std::string("II*\0", 4) ||
                  bytes.substr(0, 4) == std::string("MM\0*", 4));
    }
  }

  // A settings change on the camera reaches the host from the main thread.
  krv_sim::ControlClient control;
  std::string error;
  ASSERT_TRUE(control.connect(mControlPath, &error)) << error;
  ASSERT_TRUE(krv_sim::ControlClient::isOk(control.command("set 10 1600")));
  ASSERT_TRUE(waitFor("cameraSettingsChanged", 1));
  auto changed = named("cameraSettingsChanged")[0];
  EXPECT_EQ(changed.number("isoSpeed"), 1600);
  EXPECT_EQ(changed.thread, std::this_thread::get_id());

  mTether->deinit();
  ASSERT_TRUE(waitFor("deviceRemoved", 1));
  EXPECT_EQ(named("deviceRemoved")[0].number("device_id"), eKRV_SDK_ModelKXMk1);
}

}  // namespace
