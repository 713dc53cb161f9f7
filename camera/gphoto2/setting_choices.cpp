#include "camera/gphoto2/setting_choices.h"

#include <algorithm>
#include <cmath>

#include "camera/gphoto2/setting_values.h"

namespace krv_gphoto {

namespace {

bool SameValue(double a, double b) { return std::fabs(a - b) <= 1e-6 * std::max(1.0, std::fabs(b)); }

bool MapOne(uint16_t code, bool raw, const std::string& text, double* value) {
  if (raw) {
    uint32_t v;
    if (!PtpValueFromText(text, &v)) return false;
    switch (code) {
      case kPtpFNumber: *value = ApertureFromPtp(v); return true;
      case kPtpExposureTime: *value = ShutterFromPtp(v); return true;
      case kPtpExposureIndex: *value = IsoFromPtp(v); return true;
      case kPtpWhiteBalance: *value = WhiteBalanceFromPtp(v); return *value != kWbUnknown;
      default: return false;
    }
  }
  int32_t i;
  switch (code) {
    case kPtpFNumber: return ApertureFromText(text, value);
    case kPtpExposureTime: return ShutterFromText(text, value);
    case kPtpExposureIndex: return IsoFromText(text, &i) && (*value = i, true);
    case kPtpWhiteBalance:
      // A Kelvin text among the presets is a choice of its own ("5600K").
      return WhiteBalanceFromText(text, &i) && (*value = i, true);
    default: return false;
  }
}

}  // namespace

SettingChoices MapChoices(uint16_t code, bool raw, const std::vector<std::string>& texts) {
  SettingChoices choices;
  for (const std::string& text : texts) {
    double value;
    if (!MapOne(code, raw, text, &value) || !std::isfinite(value)) continue;
    std::string known;
    if (ChoiceText(choices, value, &known)) continue;
    choices.values.push_back(value);
    choices.texts.push_back(text);
  }
  return choices;
}

bool ChoiceText(const SettingChoices& choices, double value, std::string* text) {
  for (size_t i = 0; i < choices.values.size(); ++i) {
    if (SameValue(choices.values[i], value)) {
      *text = choices.texts[i];
      return true;
    }
  }
  return false;
}

}  // namespace krv_gphoto
