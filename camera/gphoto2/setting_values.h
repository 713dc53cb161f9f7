// How the camera's exposure settings, as libgphoto2 reads them, become the
// SDK's property values (KRV_SDK.h): the raw PTP values first, the texts of
// libgphoto2's named widgets where a driver offers no raw value. The tables
// are documented in doc/cameras.md. Pure functions; safe from any thread.
#ifndef KRV_GPHOTO_SETTING_VALUES_H_
#define KRV_GPHOTO_SETTING_VALUES_H_

#include <cstdint>
#include <string>

namespace krv_gphoto {

// PTP device property codes of the four settings.
constexpr uint16_t kPtpWhiteBalance = 0x5005;
constexpr uint16_t kPtpFNumber = 0x5007;
constexpr uint16_t kPtpExposureTime = 0x500D;
constexpr uint16_t kPtpExposureIndex = 0x500F;

// The SDK's white-balance indexes that the bridge reports (the settings table).
constexpr int32_t kWbAuto = 0, kWbDaylight = 1, kWbCloudy = 2, kWbShade = 3, kWbTungsten = 4,
                  kWbFluorescent = 7, kWbFlash = 8, kWbMeasured = 10, kWbUnknown = 11;

// The raw PTP values: FNumber in hundredths; ExposureTime in 1/10000 s, with
// 0xFFFFFFFF (bulb) and 0xFFFFFFFD (time) as -1; ExposureIndex with 0xFFFF
// (automatic ISO) as 0; WhiteBalance by the table in the .cpp.
double ApertureFromPtp(uint32_t value);
double ShutterFromPtp(uint32_t value);
int32_t IsoFromPtp(uint32_t value);
int32_t WhiteBalanceFromPtp(uint32_t value);

// libgphoto2 prints a raw property's value as a signed decimal ("%d" even for
// unsigned 32-bit values): the 32-bit pattern it stands for. False for
// anything but an optionally signed decimal integer within 32 bits.
bool PtpValueFromText(const std::string& text, uint32_t* value);

// The named widgets' texts: "f/5.6" or "5.6"; "1/250", "2.5", "30s" or
// "Bulb"; "400" or "Auto"/"Auto ISO"; "Daylight", "5600K" (Kelvin). False
// when the text is not understood.
bool ApertureFromText(const std::string& text, double* value);
bool ShutterFromText(const std::string& text, double* value);
bool IsoFromText(const std::string& text, int32_t* value);
bool WhiteBalanceFromText(const std::string& text, int32_t* value);

// The property a libgphoto2 event text names: "PTP Property 5007 changed..."
// gives 0x5007. False for any other text (also null).
bool ChangedPtpProperty(const char* text, uint16_t* code);

}  // namespace krv_gphoto

#endif  // KRV_GPHOTO_SETTING_VALUES_H_
