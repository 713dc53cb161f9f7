// KRV_GPHOTO_CAMERA: every accepted form and the malformed ones.
#include <gtest/gtest.h>

#include "camera/gphoto2/camera_choice.h"

namespace krv_gphoto {
namespace {

using Kind = CameraChoice::Kind;

TEST(CameraChoiceTest, Forms) {
  const struct {
    const char* text;
    bool ok;
    Kind kind;
    const char* port;
    const char* model;
  } kCases[] = {
      {nullptr, true, Kind::kFirstDetected, "", ""},
      {"", true, Kind::kFirstDetected, "", ""},
      {"usb", true, Kind::kFirstDetected, "", ""},
      {"usb:1,4", true, Kind::kUsbPort, "usb:001,004", ""},
      {"usb:001,012", true, Kind::kUsbPort, "usb:001,012", ""},
      {"usb:1", false, Kind::kFirstDetected, "", ""},
      {"usb:a,b", false, Kind::kFirstDetected, "", ""},
      {"usb:1,0", false, Kind::kFirstDetected, "", ""},
      {"usb:1,2,3", false, Kind::kFirstDetected, "", ""},
      {"ptpip:127.0.0.1", true, Kind::kPtpip, "ptpip:127.0.0.1", ""},
      {"ptpip:127.0.0.2:15740", true, Kind::kPtpip, "ptpip:127.0.0.2:15740", ""},
      {"ptpip:10.0.0.9:5000:5001", true, Kind::kPtpip, "ptpip:10.0.0.9:5000:5001", ""},
      {"ptpip:camera.local", false, Kind::kFirstDetected, "", ""},
      {"ptpip:127.0.0.1:0", false, Kind::kFirstDetected, "", ""},
      {"ptpip:127.0.0.1:65536", false, Kind::kFirstDetected, "", ""},
      {"ptpip:127.0.0.1:1:2:3", false, Kind::kFirstDetected, "", ""},
      {"ptpip:", false, Kind::kFirstDetected, "", ""},
      {"Nikon DSC D750", true, Kind::kModel, "", "Nikon DSC D750"},
      {"bad\nname", false, Kind::kFirstDetected, "", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text ? c.text : "null");
    CameraChoice choice;
    std::string error;
    EXPECT_EQ(ParseCameraChoice(c.text, &choice, &error), c.ok);
    EXPECT_EQ(error.empty(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(choice.kind, c.kind);
    EXPECT_EQ(choice.port, c.port);
    EXPECT_EQ(choice.model, c.model);
  }
  CameraChoice choice;
  std::string error;
  EXPECT_FALSE(ParseCameraChoice(std::string(128, 'x').c_str(), &choice, &error));
}

}  // namespace
}  // namespace krv_gphoto
