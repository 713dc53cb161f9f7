// A setting's choices as a configuration widget offers them, in the SDK's
// values (KRV_SDK.h), each kept with the widget text that sets it: the
// inverse of setting_values.h, by table rather than by formula, so a value
// the camera does not list can never be sent to it. Pure; any thread.
#ifndef KRV_GPHOTO_SETTING_CHOICES_H_
#define KRV_GPHOTO_SETTING_CHOICES_H_

#include <cstdint>
#include <string>
#include <vector>

namespace krv_gphoto {

struct SettingChoices {
  std::string widget;              // the widget's name, for gp_camera_set_single_config
  bool readOnly = false;
  std::vector<double> values;      // the SDK's values, distinct, in the widget's order
  std::vector<std::string> texts;  // texts[i] sets values[i]
};

// Maps the choice texts of the widget for PTP property `code` (kPtp* in
// setting_values.h): `raw` for the raw property widget (decimal PTP values),
// else a named widget's texts. Texts that map to nothing the SDK can name (an
// unknown white balance) or to a value listed already are left out.
SettingChoices MapChoices(uint16_t code, bool raw, const std::vector<std::string>& texts);

// The widget text that sets `value` (matched to within display precision),
// or false when `value` is not among the choices.
bool ChoiceText(const SettingChoices& choices, double value, std::string* text);

}  // namespace krv_gphoto

#endif  // KRV_GPHOTO_SETTING_CHOICES_H_
