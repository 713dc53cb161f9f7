// Display texts of the settings report: shutter times, white-balance maps and
// the table that carries them.
#include <cmath>
#include <memory>

#include <gtest/gtest.h>

#include "camera/CameraSettingsText.h"
#include "camera/KRV_SDK.h"
#include "source/ZyLuaTableMarshalling.h"

using tether::ShutterText;
using tether::WhiteBalanceText;

namespace {

std::string Shutter(double t) { return ShutterText(t).toStdString(); }
std::string Wb(int32_t w, int32_t model) { return WhiteBalanceText(w, model).toStdString(); }

TEST(ShutterTextTest, FractionsWithAWholeReciprocalReadOneOverN) {
  EXPECT_EQ(Shutter(0.01), "1/100");
  EXPECT_EQ(Shutter(0.004), "1/250");
  EXPECT_EQ(Shutter(0.125), "1/8");
  EXPECT_EQ(Shutter(1.0 / 3), "1/3");
  EXPECT_EQ(Shutter(1.0 / 60), "1/60");
  EXPECT_EQ(Shutter(0.5), "1/2");
  EXPECT_EQ(Shutter(std::ldexp(1.0, -30)), "1/1073741824");
}

TEST(ShutterTextTest, FractionsWithoutAWholeReciprocalUseSixDigits) {
  EXPECT_EQ(Shutter(0.3), "0.3");
  EXPECT_EQ(Shutter(0.4), "0.4");
  EXPECT_EQ(Shutter(1 / 1.3), "0.769231");
}

TEST(ShutterTextTest, LongExposuresAndBulb) {
  EXPECT_EQ(Shutter(1.0), "1");
  EXPECT_EQ(Shutter(2.5), "2.5");
  EXPECT_EQ(Shutter(30), "30");
  EXPECT_EQ(Shutter(1234567), "1.23457e+06");
  EXPECT_EQ(Shutter(-1), "Bulb");
  EXPECT_EQ(Shutter(-0.001), "Bulb");
}

// Exactly 0 has an infinite reciprocal, and a whole reciprocal above 2^31-1
// does not fit the 32-bit denominator: both fall back to six digits.
TEST(ShutterTextTest, ZeroAndTinyTimesNeverOverflowTheDenominator) {
  EXPECT_EQ(Shutter(0.0), "0");
  EXPECT_EQ(Shutter(std::ldexp(1.0, -31)), "4.65661e-10");  // reciprocal 2^31
  EXPECT_EQ(Shutter(std::ldexp(1.0, -32)), "2.32831e-10");
  EXPECT_EQ(Shutter(1e-300), "1e-300");
  EXPECT_EQ(Shutter(4.9406564584124654e-324), "4.94066e-324");  // reciprocal inf
}

TEST(WhiteBalanceTextTest, IdentityAndRemappedMapsIndexByIndex) {
  const char* identity[16] = {"Auto",       "Daylight",    "Cloudy",      "Shadow",
                              "Tungsten",   "HMI",         "Fluor. Warm", "Fluor. Cool",
                              "Flash",      "GCLiveView",  "Greycard",    "Unknown",
                              "Monochrome", "Unknown",     "Unknown",     "Unknown"};
  const char* remapped[16] = {"Auto",       "Daylight",    "Cloudy",      "Shadow",
                              "Tungsten",   "Fluor. Warm", "Fluor. Cool", "Flash",
                              "Greycard",   "Unknown",     "HMI",         "Unknown",
                              "Monochrome", "Unknown",     "Unknown",     "Unknown"};
  for (int w = 0; w < 16; ++w) {
    for (int model : {0, int(eKRV_SDK_ModelKMk3), int(eKRV_SDK_ModelKXMk1)}) {
      EXPECT_EQ(Wb(w, model), identity[w]) << "index " << w << " model " << model;
    }
    for (int model : {eKRV_SDK_ModelK1, eKRV_SDK_ModelKMk2, eKRV_SDK_ModelRMk4}) {
      EXPECT_EQ(Wb(w, model), remapped[w]) << "index " << w << " model " << model;
    }
  }
  EXPECT_EQ(Wb(9, eKRV_SDK_ModelK1), "Unknown");
  EXPECT_EQ(Wb(9, eKRV_SDK_ModelKMk3), "GCLiveView");
  EXPECT_EQ(Wb(10, eKRV_SDK_ModelKMk2), "HMI");
  EXPECT_EQ(Wb(10, eKRV_SDK_ModelKXMk1), "Greycard");
}

TEST(WhiteBalanceTextTest, KelvinMonochromeAndOutOfRange) {
  EXPECT_EQ(Wb(1000, eKRV_SDK_ModelKMk3), "1000K");
  EXPECT_EQ(Wb(1000, eKRV_SDK_ModelTonal), "1000K");
  EXPECT_EQ(Wb(5200, eKRV_SDK_ModelK1), "5200K");
  EXPECT_EQ(Wb(999, eKRV_SDK_ModelKMk3), "Unknown");
  EXPECT_EQ(Wb(16, eKRV_SDK_ModelKMk3), "Unknown");
  EXPECT_EQ(Wb(16, eKRV_SDK_ModelK1), "Unknown");
  EXPECT_EQ(Wb(-1, eKRV_SDK_ModelKMk3), "Unknown");
  EXPECT_EQ(Wb(-1, eKRV_SDK_ModelRMk4), "Unknown");
  EXPECT_EQ(Wb(INT32_MIN, 0), "Unknown");
  EXPECT_EQ(Wb(3, eKRV_SDK_ModelTonal), "Monochrome");
  EXPECT_EQ(Wb(0, eKRV_SDK_ModelTonal), "Monochrome");
  EXPECT_EQ(Wb(-1, eKRV_SDK_ModelTonal), "Monochrome");
}

std::string StringAt(ZyLuaTETable* t, const char* key) {
  ZyLuaTE* e = t->elementForKey(key);
  if (e == nullptr || e->mType != ZyLuaTE::kString) return "<not a string>";
  return static_cast<ZyLuaTEString*>(e)->mString;
}

TEST(SettingsTableTest, InitialValuesOfAControllerWhoseReadFailed) {
  tether::CameraSettings s;  // the controller's initial values
  s.productId = eKRV_SDK_ModelKMk3;
  std::unique_ptr<ZyLuaTETable> t(tether::CreateSettingsTable(s));
  EXPECT_EQ(t->mTable.size(), 4u);
  ZyLuaTE* iso = t->elementForKey("isoSpeed");
  ASSERT_NE(iso, nullptr);
  ASSERT_EQ(iso->mType, ZyLuaTE::kNumber);
  EXPECT_EQ(static_cast<ZyLuaTENumber*>(iso)->mValue, 100);
  EXPECT_EQ(StringAt(t.get(), "aperture"), "--");
  EXPECT_EQ(StringAt(t.get(), "shutter"), "1/100");
  EXPECT_EQ(StringAt(t.get(), "whiteBalance"), "Auto");

  s.productId = eKRV_SDK_ModelTonal;
  t.reset(tether::CreateSettingsTable(s));
  EXPECT_EQ(StringAt(t.get(), "whiteBalance"), "Monochrome");
}

TEST(SettingsTableTest, ApertureIsANumberOnlyWhenPositive) {
  tether::CameraSettings s;
  s.aperture = 5.6;
  std::unique_ptr<ZyLuaTETable> t(tether::CreateSettingsTable(s));
  ZyLuaTE* a = t->elementForKey("aperture");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->mType, ZyLuaTE::kNumber);
  EXPECT_EQ(static_cast<ZyLuaTENumber*>(a)->mValue, 5.6);

  for (double aperture : {0.0, -2.8}) {
    s.aperture = aperture;
    t.reset(tether::CreateSettingsTable(s));
    EXPECT_EQ(StringAt(t.get(), "aperture"), "--") << aperture;
  }
}

}  // namespace
