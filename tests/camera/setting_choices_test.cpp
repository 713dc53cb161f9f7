#include "camera/SettingChoices.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "source/ZyLuaTableMarshalling.h"

namespace tether {
namespace {

const SettingInfo& Setting(int propertyId) {
  for (const SettingInfo& s : kSettings) {
    if (s.propertyId == propertyId) return s;
  }
  throw std::logic_error("no such setting");
}

Choices Offer(std::vector<double> values, bool readOnly = false, bool kelvin = false) {
  Choices c;
  c.known = true;
  c.readOnly = readOnly;
  c.values = std::move(values);
  c.kelvin = kelvin;
  c.kelvinMin = 2500;
  c.kelvinMax = 10000;
  return c;
}

// A host's value is among the choices exactly when a choice is shown the same
// way; what is set is the camera's own value, in the property's width.
TEST(ResolveValueTest, MatchesTheShownFormAndSetsTheCamerasValue) {
  const Choices iso = Offer({100, 200, 400});
  const Choices aperture = Offer({2.8, 5.6});
  const Choices shutter = Offer({-1, 2.5, 1.0 / 250, 1.0 / 3});
  const Choices wb = Offer({0, 1, 4}, false, true);
  struct Row {
    int property;
    const Choices* choices;
    std::unique_ptr<ZyLuaTE> value;
    double set;  // NAN: refused
    const char* refusal;
  };
  Row rows[] = {
      {eKRV_SDK_PropIso, &iso, std::make_unique<ZyLuaTENumber>(400), 400, ""},
      {eKRV_SDK_PropIso, &iso, std::make_unique<ZyLuaTENumber>(300), NAN, "not among the choices"},
      {eKRV_SDK_PropIso, &iso, std::make_unique<ZyLuaTEString>("400"), NAN, "not among the choices"},
      {eKRV_SDK_PropAperture, &aperture, std::make_unique<ZyLuaTENumber>(5.6), 5.6, ""},
      {eKRV_SDK_PropAperture, &aperture, std::make_unique<ZyLuaTENumber>(5.7), NAN,
       "not among the choices"},
      {eKRV_SDK_PropShutterTime, &shutter, std::make_unique<ZyLuaTEString>("1/250"), 1.0 / 250, ""},
      {eKRV_SDK_PropShutterTime, &shutter, std::make_unique<ZyLuaTEString>("1/3"), 1.0 / 3, ""},
      {eKRV_SDK_PropShutterTime, &shutter, std::make_unique<ZyLuaTEString>("Bulb"), -1, ""},
      {eKRV_SDK_PropShutterTime, &shutter, std::make_unique<ZyLuaTEString>("2.5"), 2.5, ""},
      {eKRV_SDK_PropShutterTime, &shutter, std::make_unique<ZyLuaTEString>("1/125"), NAN,
       "not among the choices"},
      {eKRV_SDK_PropWhiteBalance, &wb, std::make_unique<ZyLuaTEString>("Tungsten"), 4, ""},
      {eKRV_SDK_PropWhiteBalance, &wb, std::make_unique<ZyLuaTEString>("5600K"), 5600, ""},
      {eKRV_SDK_PropWhiteBalance, &wb, std::make_unique<ZyLuaTEString>("2500K"), 2500, ""},
      {eKRV_SDK_PropWhiteBalance, &wb, std::make_unique<ZyLuaTEString>("2499K"), NAN,
       "not among the choices"},
      {eKRV_SDK_PropWhiteBalance, &wb, std::make_unique<ZyLuaTEString>("56O0K"), NAN,
       "not among the choices"},
      {eKRV_SDK_PropWhiteBalance, &wb, std::make_unique<ZyLuaTEString>("Cloudy"), NAN,
       "not among the choices"},
      {eKRV_SDK_PropWhiteBalance, &wb, std::make_unique<ZyLuaTENumber>(1), NAN,
       "not among the choices"},
  };
  for (Row& row : rows) {
    const SettingInfo& setting = Setting(row.property);
    const Resolution r = ResolveValue(setting, *row.choices, row.value.get(), 8241);
    SCOPED_TRACE(std::string(setting.key) + " " + std::to_string(row.set));
    EXPECT_EQ(r.refusal, row.refusal);
    if (!std::isnan(row.set)) {
      EXPECT_DOUBLE_EQ(r.value, row.set);
      ASSERT_EQ(r.bytes.size(), setting.kind == SettingKind::kInt32 ? 4u : 8u);
      double narrowed;
      if (setting.kind == SettingKind::kInt32) {
        int32_t v;
        std::memcpy(&v, r.bytes.data(), 4);
        narrowed = v;
      } else {
        std::memcpy(&narrowed, r.bytes.data(), 8);
      }
      EXPECT_DOUBLE_EQ(narrowed, row.set);
    }
  }
}

TEST(ResolveValueTest, ReadOnlyOrUnknownChoicesTakeNothing) {
  ZyLuaTENumber iso(400);
  Choices unknown;
  EXPECT_EQ(ResolveValue(Setting(eKRV_SDK_PropIso), Offer({400}, true), &iso, 8241).refusal,
            "read-only in this mode");
  EXPECT_EQ(ResolveValue(Setting(eKRV_SDK_PropIso), unknown, &iso, 8241).refusal,
            "read-only in this mode");
}

// The camera's list is read whole when it fits and cut at the bound when it
// does not; values that are no numbers are left out.
TEST(ReadChoicesTest, BoundedAndFiniteAndKelvinOnlyWithARange) {
  static int offered;
  static bool kelvinReadable;
  auto getChoices = [](int id, void* values, unsigned int capacity, unsigned int* flags) -> int {
    *flags = id == eKRV_SDK_PropWhiteBalance ? eKRV_SDK_ChoiceKelvin : 0;
    for (int i = 0; i < offered && i < static_cast<int>(capacity); ++i) {
      if (id == eKRV_SDK_PropAperture) {
        const double v = i == 1 ? NAN : 1.0 + i;
        std::memcpy(static_cast<char*>(values) + 8 * i, &v, 8);
      } else {
        const int32_t v = 100 * (i + 1);
        std::memcpy(static_cast<char*>(values) + 4 * i, &v, 4);
      }
    }
    return offered;
  };
  auto getProperty = [](int id, void* buffer, unsigned int) -> bool {
    const int32_t v = id == eKRV_SDK_PropKelvinMin ? 3000 : 7000;
    std::memcpy(buffer, &v, 4);
    return kelvinReadable;
  };
  offered = 3;
  const Choices aperture = ReadChoices(Setting(eKRV_SDK_PropAperture), getChoices, getProperty);
  EXPECT_EQ(aperture.values, (std::vector<double>{1.0, 3.0}));
  offered = kMaxChoices + 10;
  EXPECT_EQ(ReadChoices(Setting(eKRV_SDK_PropIso), getChoices, getProperty).values.size(),
            kMaxChoices);
  kelvinReadable = false;
  EXPECT_FALSE(ReadChoices(Setting(eKRV_SDK_PropWhiteBalance), getChoices, getProperty).kelvin);
  kelvinReadable = true;
  const Choices wb = ReadChoices(Setting(eKRV_SDK_PropWhiteBalance), getChoices, getProperty);
  EXPECT_TRUE(wb.kelvin);
  EXPECT_EQ(wb.kelvinMin, 3000);
  EXPECT_EQ(wb.kelvinMax, 7000);
}

}  // namespace
}  // namespace tether
