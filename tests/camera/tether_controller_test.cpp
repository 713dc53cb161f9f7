// The controller's life cycle, device events, settings report and damper,
// with every callback on the main thread.
#include <chrono>
#include <string>
#include <vector>

#include <QTimer>
#include <gtest/gtest.h>

#include "camera/KRV_SDK.h"
#include "tests/camera/controller_fixture.h"

namespace {

using Calls = std::vector<std::string>;

TEST_F(ControllerTest, LifeCycleCallsReachTheSdkWithOrWithoutACamera) {
  EXPECT_EQ(sdk().deviceContext(), mTether.get());
  mTether->capture();
  mTether->deinit();  // no camera: no close request
  mTether->exit();
  EXPECT_EQ(sdk().calls(), (Calls{"init", "capture", "exit"}));

  connectQuietly(eKRV_SDK_ModelK1);
  sdk().reset();
  mTether->deinit();
  mTether->capture();
  mTether->exit();
  EXPECT_EQ(sdk().calls(), (Calls{"requestClose", "capture", "exit"}));
  EXPECT_EQ(host().count(), 0u);
}

TEST_F(ControllerTest, NullContextsAreIgnored) {
  Tether_qt::sdkCallback(nullptr, true, eKRV_SDK_ModelK1);
  Tether_qt::sdkCallback(nullptr, false, eKRV_SDK_ModelK1);
  int32_t value = 3;
  Tether_qt::changesCallback(nullptr, eKRV_SDK_PropIso, &value, 4);
  Tether_qt::frameCallback(nullptr, eKRV_SDK_TransferThumbnail, &value, 4);
  Tether_qt::frameCallback(nullptr, 99, nullptr, 0);
  fake::PumpFor(0.1);
  EXPECT_EQ(host().count(), 0u);
  EXPECT_TRUE(fake::LogLines().empty());
  EXPECT_EQ(sdk().calls(), Calls{"init"});
}

TEST_F(ControllerTest, EachAcceptedModelIsAnnouncedWithItsName) {
  const std::pair<int, const char*> models[] = {
      {8201, "Orvak K1"},        {8209, "Orvak K (Mk 2)"},  {8225, "Orvak R (Mk 4)"},
      {8241, "Orvak K (Mk 3)"},  {8257, "Orvak KX (Mk 1)"}, {8273, "Orvak Tonal"}};
  for (const auto& [model, name] : models) {
    host().reset();
    fake::ClearLog();
    sdk().device(true, model);
    auto added = host().messages();
    ASSERT_EQ(added.size(), 1u) << model;
    EXPECT_EQ(added[0].name, "deviceAdded");
    EXPECT_EQ(added[0].id, 0);
    EXPECT_EQ(added[0].number("device_id"), model);
    EXPECT_EQ(added[0].string("name"), name);
    EXPECT_EQ(added[0].keys().size(), 2u);
    EXPECT_EQ(fake::LogLines(), std::vector<std::string>{std::to_string(model) + " connected"});
  }
}

TEST_F(ControllerTest, ConnectionRegistersCallbacksAcceptsTheCameraAndReadsSettings) {
  sdk().device(true, eKRV_SDK_ModelKMk3);
  // The first settings read fails and stops the chain.
  EXPECT_EQ(sdk().calls(),
            (Calls{"init", "setFrameCallback", "setChangesCallback",
                   "setProperty 31 size 1 value 1", "getProperty 3"}));
  // Reconnecting overwrites and announces again.
  sdk().device(true, eKRV_SDK_ModelKXMk1);
  sdk().device(true, eKRV_SDK_ModelKXMk1);
  auto added = host().named("deviceAdded");
  ASSERT_EQ(added.size(), 3u);
  EXPECT_EQ(added[2].number("device_id"), eKRV_SDK_ModelKXMk1);
  // Nothing else goes out: connecting marks a report pending but opens no window.
  fake::PumpFor(0.7);
  EXPECT_EQ(host().count(), 3u);
}

// Any other camera: one id, named by what the camera reports (bounded, and
// "Camera" without it); the six never ask for a name.
TEST_F(ControllerTest, AGenericCameraIsAnnouncedWithItsOwnName) {
  const struct {
    bool has;
    std::string reported;
    std::string announced;
  } kCases[] = {
      {false, "", "Camera"},  // first: no name has been set yet
      {true, "Nikon Corporation D750", "Nikon Corporation D750"},
      {true, "Fujifilm X-T5 \xc3\xa9", "Fujifilm X-T5 \xc3\xa9"},
      {true, "", "Camera"},
      {true, std::string(300, 'N'), std::string(255, 'N')},  // unterminated: cut
  };
  size_t reads = 0;
  for (const auto& c : kCases) {
    host().reset();
    if (c.has) sdk().setName(c.reported);
    sdk().device(true, eKRV_SDK_ModelGeneric);
    auto added = host().named("deviceAdded");
    ASSERT_EQ(added.size(), 1u) << c.reported;
    EXPECT_EQ(added[0].number("device_id"), eKRV_SDK_ModelGeneric);
    EXPECT_EQ(added[0].string("name"), c.announced);
    EXPECT_EQ(sdk().countOf("getProperty 33"), ++reads);
  }
  sdk().setName("Not asked");
  sdk().device(true, eKRV_SDK_ModelK1);
  EXPECT_EQ(sdk().countOf("getProperty 33"), reads);
  // Its removal is known by the id stored at connection.
  host().reset();
  sdk().device(true, eKRV_SDK_ModelGeneric);
  sdk().device(false, 0);
  ASSERT_EQ(host().named("deviceRemoved").size(), 1u);
  EXPECT_EQ(host().named("deviceRemoved")[0].number("device_id"), eKRV_SDK_ModelGeneric);
}

TEST_F(ControllerTest, UnknownModelsAreIgnoredEntirely) {
  sdk().device(true, 1);
  sdk().device(true, 0);
  EXPECT_EQ(host().count(), 0u);
  EXPECT_TRUE(fake::LogLines().empty());
  EXPECT_EQ(sdk().calls(), Calls{"init"});
  mTether->getCameraSettingsWithMessageId(5, nullptr);  // still no camera
  mTether->deinit();
  EXPECT_EQ(host().count(), 0u);
  EXPECT_EQ(sdk().calls(), Calls{"init"});
}

TEST_F(ControllerTest, DisconnectionIsReportedByTheStoredOrTheReportedModel) {
  struct Case {
    int stored;    // 0: none connected
    int reported;
    bool sent;
  };
  const Case cases[] = {
      {0, 8201, true},     {0, 8241, false},    {8241, 0, true},    {8201, 1, false},
      {8201, 8201, true},  {8273, 8257, true},  {8257, 8241, false}, {8241, 8241, true},
      {0, 8209, true},     {0, 8225, true},     {0, 8273, true},    {0, 8257, true},
  };
  for (const Case& c : cases) {
    const std::string label = std::to_string(c.stored) + " / " + std::to_string(c.reported);
    if (c.stored != 0) connectQuietly(c.stored);
    sdk().device(false, c.reported);
    auto messages = host().messages();
    if (c.sent) {
      ASSERT_EQ(messages.size(), 1u) << label;
      EXPECT_EQ(messages[0].name, "deviceRemoved");
      EXPECT_EQ(messages[0].number("device_id"), c.stored) << label;
      EXPECT_EQ(messages[0].keys().size(), 1u);
    } else {
      EXPECT_TRUE(messages.empty()) << label;
    }
    EXPECT_EQ(fake::LogLines(),
              std::vector<std::string>{std::to_string(c.stored) + " disconnected"}) << label;
    // Whatever was sent, no camera is connected afterwards.
    host().reset();
    fake::ClearLog();
    mTether->getCameraSettingsWithMessageId(1, nullptr);
    EXPECT_EQ(host().count(), 0u) << label;
  }
}

TEST_F(ControllerTest, SettingsReplyCarriesTheValuesReadAtConnection) {
  sdk().setDouble(eKRV_SDK_PropAperture, 5.6);
  sdk().setDouble(eKRV_SDK_PropShutterTime, 1.0 / 250);
  sdk().setInt(eKRV_SDK_PropIso, 400);
  sdk().setInt(eKRV_SDK_PropWhiteBalance, 5);
  connectQuietly(eKRV_SDK_ModelKMk3);
  mTether->getCameraSettingsWithMessageId(12, nullptr);
  auto replies = host().messages();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].name, "ok");
  EXPECT_EQ(replies[0].id, 12);
  EXPECT_EQ(replies[0].number("isoSpeed"), 400);
  EXPECT_EQ(replies[0].number("aperture"), 5.6);
  EXPECT_EQ(replies[0].string("shutter"), "1/250");
  EXPECT_EQ(replies[0].string("whiteBalance"), "HMI");
  // The reply uses the cached fields; the SDK is not asked again.
  EXPECT_EQ(sdk().countOf("getProperty 3"), 1u);

  EXPECT_TRUE(mTether->getCameraSettings());
}

TEST_F(ControllerTest, SettingsReadSkipsApertureAndWhiteBalanceWhereTheModelHasNone) {
  sdk().setDouble(eKRV_SDK_PropAperture, 8);
  sdk().setDouble(eKRV_SDK_PropShutterTime, 2);
  sdk().setInt(eKRV_SDK_PropIso, 800);
  sdk().setInt(eKRV_SDK_PropWhiteBalance, 1);

  connectQuietly(eKRV_SDK_ModelTonal);
  sdk().reset();
  sdk().setDouble(eKRV_SDK_PropShutterTime, 2);
  sdk().setInt(eKRV_SDK_PropIso, 800);
  sdk().setInt(eKRV_SDK_PropWhiteBalance, 1);
  EXPECT_TRUE(mTether->getCameraSettings());
  EXPECT_EQ(sdk().calls(), (Calls{"getProperty 5", "getProperty 10"}));
  mTether->getCameraSettingsWithMessageId(3, nullptr);
  auto reply = host().messages().at(0);
  EXPECT_EQ(reply.string("aperture"), "--");
  EXPECT_EQ(reply.string("shutter"), "2");
  EXPECT_EQ(reply.number("isoSpeed"), 800);
  EXPECT_EQ(reply.string("whiteBalance"), "Monochrome");
}

TEST_F(ControllerTest, AFailedReadStopsTheChainAndZeroesTheWhiteBalance) {
  // First a full read, so that the fields hold known values.
  sdk().setDouble(eKRV_SDK_PropShutterTime, 0.5);
  sdk().setInt(eKRV_SDK_PropIso, 1600);
  sdk().setInt(eKRV_SDK_PropWhiteBalance, 3);
  connectQuietly(eKRV_SDK_ModelRMk4);
  ASSERT_TRUE(mTether->getCameraSettings());

  sdk().reset();
  sdk().setInt(eKRV_SDK_PropIso, 50);  // must not be read
  EXPECT_FALSE(mTether->getCameraSettings());
  EXPECT_EQ(sdk().calls(), Calls{"getProperty 5"});
  mTether->getCameraSettingsWithMessageId(4, nullptr);
  auto reply = host().messages().at(0);
  EXPECT_EQ(reply.string("shutter"), "1/2");
  EXPECT_EQ(reply.number("isoSpeed"), 1600);
  EXPECT_EQ(reply.string("whiteBalance"), "Auto");
  EXPECT_EQ(reply.string("aperture"), "--");
}

TEST_F(ControllerTest, AFailedWhiteBalanceReadAloneKeepsTheOldIndex) {
  sdk().setDouble(eKRV_SDK_PropAperture, 4);
  sdk().setDouble(eKRV_SDK_PropShutterTime, 0.5);
  sdk().setInt(eKRV_SDK_PropIso, 200);
  sdk().setInt(eKRV_SDK_PropWhiteBalance, 2);
  connectQuietly(eKRV_SDK_ModelKMk3);
  sdk().fail(eKRV_SDK_PropWhiteBalance);
  EXPECT_FALSE(mTether->getCameraSettings());
  mTether->getCameraSettingsWithMessageId(4, nullptr);
  EXPECT_EQ(host().messages().at(0).string("whiteBalance"), "Cloudy");
}

TEST_F(ControllerTest, InitialValuesGoOutWhenEveryReadFails) {
  connectQuietly(eKRV_SDK_ModelKMk3);
  mTether->getCameraSettingsWithMessageId(9, nullptr);
  auto reply = host().messages().at(0);
  EXPECT_EQ(reply.number("isoSpeed"), 100);
  EXPECT_EQ(reply.string("aperture"), "--");
  EXPECT_EQ(reply.string("shutter"), "1/100");
  EXPECT_EQ(reply.string("whiteBalance"), "Auto");
}

// ---------------------------------------------------------------- damper

class DamperTest : public ControllerTest {
 protected:
  std::vector<fake::Message> reports() { return host().named("cameraSettingsChanged"); }
  bool waitForReports(size_t n) {
    return fake::PumpUntil([&] { return reports().size() >= n; }, 10);
  }
};

TEST_F(DamperTest, UnknownPropertiesChangeNothing) {
  connectQuietly(eKRV_SDK_ModelKMk3);
  Tether_qt::mNeedsUpdate = false;
  sdk().changeInt(7, 1);
  sdk().changeInt(30, 1);
  EXPECT_FALSE(Tether_qt::mNeedsUpdate);
  fake::PumpFor(0.2);
  EXPECT_EQ(host().count(), 0u);
}

TEST_F(DamperTest, FirstChangeAtOnceThenOneTrailingReportPerWindow) {
  connectQuietly(eKRV_SDK_ModelKMk3);
  sdk().changeInt(eKRV_SDK_PropIso, 200);
  ASSERT_EQ(reports().size(), 1u);  // at once, before any event processing
  EXPECT_EQ(reports()[0].number("isoSpeed"), 200);
  EXPECT_EQ(reports()[0].id, 0);
  const auto opened = std::chrono::steady_clock::now();

  sdk().changeInt(eKRV_SDK_PropIso, 400);
  sdk().changeDouble(eKRV_SDK_PropAperture, 4);
  sdk().changeInt(eKRV_SDK_PropWhiteBalance, 1);
  EXPECT_EQ(reports().size(), 1u);  // the window is open
  ASSERT_TRUE(waitForReports(2));
  // A Qt timer never fires much before its interval (a lower bound only: a
  // loaded machine can make it later, never earlier).
  EXPECT_GE(std::chrono::steady_clock::now() - opened, std::chrono::milliseconds(400));
  auto trailing = reports()[1];
  EXPECT_EQ(trailing.number("isoSpeed"), 400);
  EXPECT_EQ(trailing.number("aperture"), 4);
  EXPECT_EQ(trailing.string("whiteBalance"), "Daylight");

  // The trailing report opens no new window, and nothing more is pending.
  fake::PumpFor(0.8);
  EXPECT_EQ(reports().size(), 2u);
  sdk().changeDouble(eKRV_SDK_PropShutterTime, -1);
  ASSERT_EQ(reports().size(), 3u);
  EXPECT_EQ(reports()[2].string("shutter"), "Bulb");
  ASSERT_TRUE(waitForReports(3));
  fake::PumpFor(0.8);
  EXPECT_EQ(reports().size(), 3u);  // a lone change has no trailing report
}

// The trailing report closes the window: a change right after it goes out at
// once. No Qt event runs between the two, so a window reopened by the
// trailing report could not have ended yet.
TEST_F(DamperTest, AChangeRightAfterATrailingReportGoesOutAtOnce) {
  connectQuietly(eKRV_SDK_ModelKMk3);
  sdk().changeInt(eKRV_SDK_PropIso, 200);
  sdk().changeInt(eKRV_SDK_PropIso, 400);
  ASSERT_TRUE(waitForReports(2));
  EXPECT_FALSE(Tether_qt::mUpdateDamper->isActive());
  sdk().changeInt(eKRV_SDK_PropIso, 800);
  ASSERT_EQ(reports().size(), 3u);
  EXPECT_EQ(reports()[2].number("isoSpeed"), 800);
}

TEST_F(DamperTest, AMalformedValueIsIgnoredButStillReported) {
  connectQuietly(eKRV_SDK_ModelKMk3);
  double eight = 800;
  sdk().change(eKRV_SDK_PropIso, &eight, 8);
  sdk().change(eKRV_SDK_PropAperture, nullptr, 8);
  ASSERT_EQ(reports().size(), 1u);
  EXPECT_EQ(reports()[0].number("isoSpeed"), 100);
  ASSERT_TRUE(waitForReports(2));
  EXPECT_EQ(reports()[1].number("isoSpeed"), 100);
  EXPECT_EQ(reports()[1].string("aperture"), "--");
}

TEST_F(DamperTest, ConnectingMarksAReportPendingWithoutOpeningAWindow) {
  connectQuietly(eKRV_SDK_ModelKMk3);
  EXPECT_TRUE(Tether_qt::mNeedsUpdate);
  // The next change reports at once and takes the pending flag with it.
  sdk().changeInt(eKRV_SDK_PropIso, 200);
  EXPECT_EQ(reports().size(), 1u);
  fake::PumpFor(0.8);
  EXPECT_EQ(reports().size(), 1u);

  // Connecting inside an open window makes the window's end report.
  sdk().changeInt(eKRV_SDK_PropIso, 250);
  ASSERT_EQ(reports().size(), 2u);
  sdk().device(true, eKRV_SDK_ModelKMk3);
  ASSERT_TRUE(waitForReports(3));
  EXPECT_EQ(reports()[2].number("isoSpeed"), 250);
}

TEST_F(DamperTest, ChangesAfterDisconnectionAreStillReported) {
  connectQuietly(eKRV_SDK_ModelKMk3);
  sdk().device(false, eKRV_SDK_ModelKMk3);
  host().reset();
  sdk().changeInt(eKRV_SDK_PropWhiteBalance, 6500);
  ASSERT_EQ(reports().size(), 1u);
  EXPECT_EQ(reports()[0].string("whiteBalance"), "6500K");
}

}  // namespace
