// The raw PTP values and libgphoto2's texts, mapped onto the SDK's units.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "camera/gphoto2/setting_values.h"

namespace krv_gphoto {
namespace {

TEST(SettingValuesTest, RawPtpValues) {
  EXPECT_DOUBLE_EQ(ApertureFromPtp(560), 5.6);
  EXPECT_DOUBLE_EQ(ApertureFromPtp(140), 1.4);
  EXPECT_DOUBLE_EQ(ShutterFromPtp(40), 0.004);      // 1/250
  EXPECT_DOUBLE_EQ(ShutterFromPtp(25000), 2.5);
  EXPECT_DOUBLE_EQ(ShutterFromPtp(0xFFFFFFFFu), -1.0);  // bulb
  EXPECT_DOUBLE_EQ(ShutterFromPtp(0xFFFFFFFDu), -1.0);  // time
  EXPECT_EQ(IsoFromPtp(400), 400);
  EXPECT_EQ(IsoFromPtp(0xFFFF), 0);  // automatic ISO
  const struct {
    uint32_t ptp;
    int32_t index;
  } kWhiteBalance[] = {{1, kWbMeasured},     {2, kWbAuto},     {3, kWbMeasured},
                       {4, kWbDaylight},     {5, kWbFluorescent}, {6, kWbTungsten},
                       {7, kWbFlash},        {0x8010, kWbCloudy}, {0x8011, kWbShade},
                       {0x8013, kWbMeasured}, {0, kWbUnknown},   {0x8012, kWbUnknown},
                       {0xFFFF, kWbUnknown}};
  for (const auto& c : kWhiteBalance) EXPECT_EQ(WhiteBalanceFromPtp(c.ptp), c.index) << c.ptp;
}

TEST(SettingValuesTest, PtpValueTextIsTheThirtyTwoBitPattern) {
  const struct {
    const char* text;
    bool ok;
    uint32_t value;
  } kCases[] = {{"560", true, 560},         {"-1", true, 0xFFFFFFFFu}, {"-3", true, 0xFFFFFFFDu},
                {" 42 ", true, 42},          {"4294967295", true, 0xFFFFFFFFu},
                {"4294967296", false, 0},    {"-2147483649", false, 0}, {"", false, 0},
                {"-", false, 0},             {"5.6", false, 0},         {"0x10", false, 0},
                {"99999999999999", false, 0}};
  for (const auto& c : kCases) {
    uint32_t value = 0;
    EXPECT_EQ(PtpValueFromText(c.text, &value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

TEST(SettingValuesTest, NamedWidgetTexts) {
  double d = 0;
  int32_t i = 0;
  EXPECT_TRUE(ApertureFromText("f/5.6", &d));
  EXPECT_DOUBLE_EQ(d, 5.6);
  EXPECT_TRUE(ApertureFromText("8", &d));
  EXPECT_DOUBLE_EQ(d, 8);
  EXPECT_FALSE(ApertureFromText("f/", &d));
  EXPECT_FALSE(ApertureFromText("implicit auto", &d));

  const struct {
    const char* text;
    bool ok;
    double seconds;
  } kShutter[] = {{"1/250", true, 0.004}, {"2.5", true, 2.5},  {"30s", true, 30},
                  {"Bulb", true, -1},     {"bulb", true, -1},  {"1/0", false, 0},
                  {"abc", false, 0},      {"-1/2", false, 0},  {"nan", false, 0}};
  for (const auto& c : kShutter) {
    EXPECT_EQ(ShutterFromText(c.text, &d), c.ok) << c.text;
    if (c.ok) {
      EXPECT_DOUBLE_EQ(d, c.seconds) << c.text;
    }
  }

  EXPECT_TRUE(IsoFromText("400", &i));
  EXPECT_EQ(i, 400);
  EXPECT_TRUE(IsoFromText("Auto ISO", &i));
  EXPECT_EQ(i, 0);
  EXPECT_FALSE(IsoFromText("-100", &i));
  EXPECT_FALSE(IsoFromText("0", &i));

  const struct {
    const char* text;
    bool ok;
    int32_t value;
  } kWb[] = {{"Automatic", true, kWbAuto},  {"daylight", true, kWbDaylight},
             {"Shade", true, kWbShade},     {"Fluorescent", true, kWbFluorescent},
             {"Preset", true, kWbMeasured}, {"5600K", true, 5600},
             {"999K", false, 0},            {"-5000K", false, 0},
             {"K", false, 0},               {"Underwater", false, 0}};
  for (const auto& c : kWb) {
    EXPECT_EQ(WhiteBalanceFromText(c.text, &i), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(i, c.value) << c.text;
    }
  }
}

TEST(SettingValuesTest, ChangedPropertyFromEventText) {
  const struct {
    const char* text;
    bool ok;
    uint16_t code;
  } kCases[] = {{"PTP Property 5007 changed, \"f-number\" to \"f/8\"", true, 0x5007},
                {"PTP Property 500f changed", true, 0x500F},
                {"PTP Property 500D changed", true, 0x500D},
                {"PTP Property 50 changed", false, 0},
                {"PTP Event 4006, Param1 00005007", false, 0},
                {"PTP Property 5zz7 changed", false, 0},
                {"PTP Property 5007", false, 0},
                {nullptr, false, 0}};
  for (const auto& c : kCases) {
    uint16_t code = 0;
    EXPECT_EQ(ChangedPtpProperty(c.text, &code), c.ok) << (c.text ? c.text : "null");
    if (c.ok) {
      EXPECT_EQ(code, c.code);
    }
  }
}

}  // namespace
}  // namespace krv_gphoto
