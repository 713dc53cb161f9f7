#include "camera/gphoto2/setting_choices.h"

#include <gtest/gtest.h>

#include "camera/gphoto2/setting_values.h"

namespace krv_gphoto {
namespace {

struct InverseCase {
  uint16_t code;
  bool raw;
  std::vector<std::string> widgetChoices;
  std::vector<double> values;  // the SDK's values listed
  double set;                  // a value to set ...
  const char* text;            // ... and the widget text that sets it, or null: refused
};

TEST(SettingChoicesTest, ChoicesMapBothWaysThroughTheWidgetsOwnTexts) {
  const InverseCase cases[] = {
      // Raw PTP widgets: decimal values in the property's units.
      {kPtpFNumber, true, {"280", "560", "800"}, {2.8, 5.6, 8.0}, 5.6, "560"},
      {kPtpFNumber, true, {"280", "560"}, {2.8, 5.6}, 4.0, nullptr},
      {kPtpExposureTime, true, {"80", "40", "-1"}, {0.008, 0.004, -1.0}, -1.0, "-1"},
      {kPtpExposureTime, true, {"80", "40"}, {0.008, 0.004}, 0.008, "80"},
      {kPtpExposureIndex, true, {"65535", "100", "400"}, {0, 100, 400}, 0, "65535"},
      {kPtpExposureIndex, true, {"100", "400"}, {100, 400}, 200, nullptr},
      // White balance: codes the SDK cannot name are left out; of two codes
      // with one meaning the first sets it.
      {kPtpWhiteBalance, true, {"2", "4", "32769", "1", "3"}, {kWbAuto, kWbDaylight, kWbMeasured},
       kWbMeasured, "1"},
      {kPtpWhiteBalance, true, {"2", "4"}, {kWbAuto, kWbDaylight}, kWbTungsten, nullptr},
      // Named widgets: libgphoto2's texts, garbage skipped.
      {kPtpFNumber, false, {"f/2.8", "f/5.6", "junk"}, {2.8, 5.6}, 5.6, "f/5.6"},
      {kPtpExposureTime, false, {"1/250", "2.5", "Bulb"}, {0.004, 2.5, -1.0}, 0.004, "1/250"},
      {kPtpExposureIndex, false, {"Auto ISO", "800"}, {0, 800}, 800, "800"},
      {kPtpWhiteBalance, false, {"Daylight", "Sunny", "5600K"}, {kWbDaylight, 5600}, 5600, "5600K"},
  };
  for (const InverseCase& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.code << " raw " << c.raw << " set " << c.set);
    const SettingChoices choices = MapChoices(c.code, c.raw, c.widgetChoices);
    EXPECT_EQ(choices.values, c.values);
    std::string text;
    EXPECT_EQ(ChoiceText(choices, c.set, &text), c.text != nullptr);
    if (c.text != nullptr) {
      EXPECT_EQ(text, c.text);
    }
  }
}

TEST(SettingChoicesTest, NearValuesMatchOnlyWithinDisplayPrecision) {
  const SettingChoices choices = MapChoices(kPtpFNumber, true, {"560"});
  std::string text;
  EXPECT_TRUE(ChoiceText(choices, 5.6000000001, &text));
  EXPECT_FALSE(ChoiceText(choices, 5.61, &text));
  EXPECT_FALSE(ChoiceText(SettingChoices(), 5.6, &text));
}

}  // namespace
}  // namespace krv_gphoto
