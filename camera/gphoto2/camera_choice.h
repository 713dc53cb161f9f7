// Which camera the bridge drives, from the KRV_GPHOTO_CAMERA environment
// variable: "usb" (or unset: the first camera libgphoto2 detects),
// "usb:BUS,DEV", "ptpip:ADDR[:PORT[:EVENTPORT]]" (ADDR an IPv4 literal), or
// any other text as a model name from libgphoto2's list. Pure; any thread.
#ifndef KRV_GPHOTO_CAMERA_CHOICE_H_
#define KRV_GPHOTO_CAMERA_CHOICE_H_

#include <string>

namespace krv_gphoto {

struct CameraChoice {
  enum class Kind { kFirstDetected, kUsbPort, kPtpip, kModel };
  Kind kind = Kind::kFirstDetected;
  // libgphoto2's port path: "usb:001,004", "ptpip:127.0.0.1:15740:15741".
  std::string port;
  std::string model;  // kModel only
};

// False, with `error` set, for text that names no camera (a malformed usb or
// ptpip path, a model name over 127 bytes or with control characters).
bool ParseCameraChoice(const char* text, CameraChoice* choice, std::string* error);

}  // namespace krv_gphoto

#endif  // KRV_GPHOTO_CAMERA_CHOICE_H_
