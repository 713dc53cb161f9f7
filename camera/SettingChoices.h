// The four settings a host may change, the values the camera offers for each,
// and how a host's value is matched against them. A host names values in the
// settings table's own forms (ISO and aperture numbers, shutter texts such as
// "1/250", white-balance names or "5600K"), so a value is among the choices
// exactly when one choice is shown the same way. Pure functions and data;
// safe from any thread.
#ifndef TETHER_CAMERA_SETTING_CHOICES_H_
#define TETHER_CAMERA_SETTING_CHOICES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "camera/KRV_SDK.h"

class ZyLuaTE;
class ZyLuaTETable;

namespace tether {

enum class SettingKind { kInt32, kDouble };

// One row per setting, in the settings table's key order.
struct SettingInfo {
  const char* key;  // the settings table's key, also the "setCameraSettings" key
  int propertyId;
  SettingKind kind;
};
extern const SettingInfo kSettings[4];

// What the camera offers for one setting now. `known` false: the camera could
// not say (treated as read-only with no choices).
struct Choices {
  bool known = false;
  bool readOnly = false;
  std::vector<double> values;  // the SDK's values, int32 ones widened
  bool kelvin = false;         // white balance: also any Kelvin in the range
  int32_t kelvinMin = 0;
  int32_t kelvinMax = 0;
};

// At most this many choices are read for a setting; a camera offering more
// is cut there (no real dial has a hundredth of it).
constexpr unsigned int kMaxChoices = 512;

// Asks the SDK through `getChoices` (never null); reads the Kelvin range with
// `getProperty` when the camera offers Kelvin.
Choices ReadChoices(const SettingInfo& setting, KRV_SDK_GetChoicesFunction getChoices,
                    bool (*getProperty)(int, void*, unsigned int));

// The table of one setting's choices for the "getCameraChoices" reply:
// "choices" (1..n, each in the settings table's form for `productId`),
// "read_only" (0 or 1) and, with Kelvin, "kelvin_min" and "kelvin_max".
ZyLuaTETable* CreateChoicesTable(const SettingInfo& setting, const Choices& choices,
                                 int32_t productId);

// A host's value for `setting` resolved against `choices`: the SDK bytes to
// set (the property's width), or why not ("not among the choices",
// "read-only in this mode").
struct Resolution {
  std::string refusal;          // empty when resolved
  std::vector<uint8_t> bytes;   // the value in the property's width
  double value = 0;             // the same value, for matching its confirmation
};
Resolution ResolveValue(const SettingInfo& setting, const Choices& choices, ZyLuaTE* requested,
                        int32_t productId);

// The value a change report carries for `setting`, widened; false when the
// report's size is not the property's width.
bool ReportedValue(const SettingInfo& setting, const void* data, unsigned int size, double* value);

}  // namespace tether

#endif  // TETHER_CAMERA_SETTING_CHOICES_H_
