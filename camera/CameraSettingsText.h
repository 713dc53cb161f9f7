// Display texts of the camera's exposure settings, as the host shows them:
// the shutter time as "1/125", "0.3", "2.5" or "Bulb", the white balance as a
// named preset or a colour temperature ("5200K"). Pure functions of their
// arguments; safe from any thread.
#ifndef TETHER_CAMERA_SETTINGS_TEXT_H_
#define TETHER_CAMERA_SETTINGS_TEXT_H_

#include <cstdint>

#include <QString>

class ZyLuaTETable;

namespace tether {

// The values that a settings report carries, copied out of the controller.
struct CameraSettings {
  int32_t productId = 0;
  int32_t iso = 100;
  int32_t whiteBalance = 0;  // index, or Kelvin above 999
  double aperture = 0.0;     // 0 or less: unknown
  double shutterTime = 0.01; // seconds; negative: bulb
};

// "Bulb" for a negative time; "1/N" when the reciprocal of a time below one
// second is exactly the integer N and N fits in 32 bits; otherwise the time
// in the general format with 6 significant digits (0 included).
QString ShutterText(double seconds);

// "<w>K" above 999 on every model; "Monochrome" on a monochrome model;
// otherwise the preset name through the model's white-balance map (both rules
// of CameraModels.h), "Unknown" for an index outside 0..15.
QString WhiteBalanceText(int32_t whiteBalance, int32_t productId);

// A new camera settings table ("isoSpeed", "aperture", "shutter",
// "whiteBalance"), owned by the caller. Throws nothing but std::bad_alloc.
ZyLuaTETable* CreateSettingsTable(const CameraSettings& settings);

}  // namespace tether

#endif  // TETHER_CAMERA_SETTINGS_TEXT_H_
