// The PTP/IP camera's operations and control, without sockets: property
// rules, busy and session answers, capture files and their event orders.
#include "camera/simulator/ptpip/ptpip_camera.h"

#include <gtest/gtest.h>

#include "camera/simulator/control_commands.h"
#include "camera/simulator/ptpip/ptp_codes.h"
#include "camera/simulator/ptpip/ptp_data.h"

namespace krv_sim {
namespace {

using namespace ptp;  // NOLINT

class CameraTest : public ::testing::Test {
 protected:
  OperationResult op(uint16_t code, std::vector<uint32_t> params = {}, std::vector<uint8_t> data = {}) {
    OperationRequest r;
    r.code = code;
    r.transactionId = ++mTid;
    r.params = std::move(params);
    return camera.execute(r, data);
  }
  std::string control(const std::string& line) { return ExecuteControlCommand(&camera, line); }
  void open() { ASSERT_EQ(op(kOpenSession, {1}).code, kOk); }
  std::vector<uint8_t> bytes(const OperationResult& r) {
    return std::vector<uint8_t>(r.data->begin() + r.offset, r.data->begin() + r.offset + r.size);
  }

  PtpipCamera camera{"T1"};
  uint32_t mTid = 0;
};

TEST_F(CameraTest, SessionIsNeededBeyondDeviceInfo) {
  EXPECT_EQ(op(kGetDeviceInfo).code, kOk);
  EXPECT_EQ(op(kGetStorageIDs).code, kSessionNotOpen);
  EXPECT_EQ(op(0x9999).code, kOperationNotSupported);
  open();
  EXPECT_EQ(op(kOpenSession, {1}).code, kSessionAlreadyOpen);
  EXPECT_EQ(op(kGetStorageIDs).code, kOk);
  camera.endSession();
  EXPECT_EQ(op(kGetStorageIDs).code, kSessionNotOpen);
}

TEST_F(CameraTest, SetDevicePropValueKeepsToTheChoices) {
  open();
  struct Case {
    const char* what;
    uint16_t code;
    std::vector<uint8_t> value;
    uint16_t response;
  } cases[] = {
      {"ISO 800", kExposureIndex, {0x20, 0x03}, kOk},
      {"automatic ISO", kExposureIndex, {0xFF, 0xFF}, kOk},
      {"ISO 123", kExposureIndex, {123, 0}, kInvalidDevicePropValue},
      {"ISO in 4 bytes", kExposureIndex, {0x20, 0x03, 0, 0}, kInvalidDevicePropFormat},
      {"no data", kFNumber, {}, kInvalidDevicePropFormat},
      {"bulb", kExposureTime, {0xFF, 0xFF, 0xFF, 0xFF}, kOk},
      {"tungsten", kWhiteBalance, {6, 0}, kOk},
      {"colour temperature white balance", kWhiteBalance, {0x01, 0x80}, kOk},
      {"3200 K", kColorTemperature, {0x80, 0x0C}, kOk},
      {"3250 K, between the steps", kColorTemperature, {0xB2, 0x0C}, kInvalidDevicePropValue},
      {"12000 K, beyond the range", kColorTemperature, {0xE0, 0x2E}, kInvalidDevicePropValue},
      {"battery", kBatteryLevel, {50}, kAccessDenied},
      {"unknown property", 0x5999, {1}, kDevicePropNotSupported},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(op(kSetDevicePropValue, {c.code}, c.value).code, c.response) << c.what;
    const std::deque<PendingEvent> events = camera.takeEvents();
    if (c.response == kOk) {
      ASSERT_EQ(events.size(), 1u) << c.what;
      EXPECT_EQ(events[0].code, kDevicePropChanged);
      EXPECT_EQ(events[0].params, std::vector<uint32_t>{c.code});
      EXPECT_EQ(bytes(op(kGetDevicePropValue, {c.code})), c.value) << c.what;
    } else {
      EXPECT_TRUE(events.empty()) << c.what;
    }
  }
  // Read-only on demand: the desc says so and a set is refused.
  EXPECT_EQ(control("read-only iso on"), "ok read-only iso on");
  EXPECT_EQ(op(kSetDevicePropValue, {kExposureIndex}, {0x90, 0x01}).code, kAccessDenied);
  EXPECT_EQ(bytes(op(kGetDevicePropDesc, {kExposureIndex}))[4], 0) << "GetSet";
  EXPECT_EQ(control("read-only iso off"), "ok read-only iso off");
  EXPECT_EQ(op(kSetDevicePropValue, {kExposureIndex}, {0x90, 0x01}).code, kOk);
}

TEST_F(CameraTest, DialsAndBusyAnswers) {
  open();
  EXPECT_EQ(control("dial aperture 800"), "ok dial aperture 800");
  EXPECT_EQ(bytes(op(kGetDevicePropValue, {kFNumber})), (std::vector<uint8_t>{0x20, 0x03}));
  EXPECT_EQ(camera.takeEvents().size(), 1u);
  EXPECT_EQ(control("dial aperture 801").rfind("error", 0), 0u);
  EXPECT_EQ(control("dial zoom 1"), "error unknown property zoom");
  EXPECT_EQ(control("busy 2"), "ok busy 2");
  EXPECT_EQ(op(kGetStorageIDs).code, kDeviceBusy);
  EXPECT_EQ(op(kGetDeviceInfo).code, kDeviceBusy);
  EXPECT_EQ(op(kGetStorageIDs).code, kOk);
}

TEST_F(CameraTest, CaptureFilesAndEventOrders) {
  struct Case {
    const char* commands;
    std::vector<std::string> names;   // in ObjectAdded order
    bool completeFirst;
  } cases[] = {
      {"files raw+jpeg", {"IMG_0001.JPG", "IMG_0001.DNG"}, false},
      {"order raw-first", {"IMG_0001.DNG", "IMG_0001.JPG"}, false},
      {"complete first", {"IMG_0001.JPG", "IMG_0001.DNG"}, true},
      {"files raw", {"IMG_0001.DNG"}, false},
      {"files jpeg", {"IMG_0001.JPG"}, false},
      {"raw-format nef", {"IMG_0001.JPG", "IMG_0001.NEF"}, false},
  };
  for (const Case& c : cases) {
    PtpipCamera fresh("T2");
    OperationRequest openRequest;
    openRequest.code = kOpenSession;
    openRequest.params = {1};
    ASSERT_EQ(fresh.execute(openRequest, {}).code, kOk);
    ASSERT_EQ(ExecuteControlCommand(&fresh, c.commands).rfind("ok", 0), 0u) << c.commands;
    ASSERT_EQ(ExecuteControlCommand(&fresh, "capture").rfind("ok capture", 0), 0u);
    std::vector<uint16_t> codes;
    std::vector<std::string> names;
    for (const PendingEvent& e : fresh.takeEvents()) {
      codes.push_back(e.code);
      if (e.code != kObjectAdded) continue;
      const std::string line = fresh.objectLine(e.params.at(0));
      names.push_back(line.substr(line.find("name=") + 5, line.find(" size=") - line.find("name=") - 5));
    }
    EXPECT_EQ(names, c.names) << c.commands;
    ASSERT_EQ(codes.size(), c.names.size() + 1) << c.commands;
    EXPECT_EQ(c.completeFirst ? codes.front() : codes.back(), kCaptureComplete) << c.commands;
  }
}

TEST_F(CameraTest, ObjectsThumbnailsAndExifOrientation) {
  open();
  ASSERT_EQ(control("orientation 6"), "ok orientation 6");
  ASSERT_EQ(control("capture"), "ok capture 1 2");
  const std::vector<uint8_t> jpeg = bytes(op(kGetObject, {1}));
  // SOI, then APP1 "Exif" whose IFD0 holds orientation 6.
  ASSERT_GT(jpeg.size(), 40u);
  EXPECT_EQ(jpeg[3], 0xE1);
  EXPECT_EQ(std::string(jpeg.begin() + 6, jpeg.begin() + 10), "Exif");
  EXPECT_EQ(jpeg[12 + 8 + 2 + 8], 6);
  const OperationResult partial = op(kGetPartialObject, {1, 2, 4});
  EXPECT_EQ(bytes(partial), std::vector<uint8_t>(jpeg.begin() + 2, jpeg.begin() + 6));
  EXPECT_EQ(partial.params, std::vector<uint32_t>{4});
  EXPECT_EQ(op(kGetPartialObject, {1, 0xFFFFFFF0u, 100}).size, 0u) << "past the end";
  EXPECT_EQ(op(kGetThumb, {1}).code, kOk);
  EXPECT_EQ(op(kGetObject, {99}).code, kInvalidObjectHandle);
  ASSERT_EQ(control("thumb off"), "ok thumb off");
  ASSERT_EQ(control("capture"), "ok capture 3 4");
  EXPECT_EQ(op(kGetThumb, {3}).code, kNoThumbnailPresent);
  EXPECT_EQ(op(kDeleteObject, {1}).code, kOk);
  EXPECT_EQ(op(kGetObjectInfo, {1}).code, kInvalidObjectHandle);
  EXPECT_EQ(control("objects"), "ok objects 2 3 4");
}

TEST_F(CameraTest, LiveStreamFramesDiffer) {
  open();
  EXPECT_EQ(op(kGetStream).code, kAccessDenied) << "stream not enabled";
  ASSERT_EQ(op(kSetDevicePropValue, {kEnabledStreams}, {1, 0, 0, 0}).code, kOk);
  const std::vector<uint8_t> a = bytes(op(kGetStream)), b = bytes(op(kGetStream));
  ASSERT_GT(a.size(), 2u);
  EXPECT_EQ(a[0], 0xFF);
  EXPECT_EQ(a[1], 0xD8);
  EXPECT_NE(a, b);
}

TEST_F(CameraTest, UnpluggedCameraTakesNoPicture) {
  EXPECT_EQ(control("unplug"), "ok unplugged");
  EXPECT_FALSE(camera.plugged());
  EXPECT_EQ(control("capture"), "error camera unplugged");
  EXPECT_EQ(control("plug"), "ok plugged");
  EXPECT_EQ(control("capture"), "ok capture 1 2");
  EXPECT_EQ(control("raw-format ../x"), "error usage: raw-format <EXT> (1..4 letters or digits)");
}

}  // namespace
}  // namespace krv_sim
