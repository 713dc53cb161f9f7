// The camera settings table ("isoSpeed", "aperture", "shutter",
// "whiteBalance") as lines for people.
#ifndef TETHER_HOST_CAMERA_SETTINGS_H_
#define TETHER_HOST_CAMERA_SETTINGS_H_

#include <string>
#include <utility>
#include <vector>

#include "host/client/TetherEvents.h"
#include "source/ZyLuaTableMarshalling.h"

namespace tether_host {

// {"ISO", "400"}, {"Aperture", "f/5.6"}, {"Shutter", "1/125"},
// {"White balance", "Daylight"}, in that order. A missing or ill-typed value
// shows as "?"; an aperture the camera does not report ("--") stays "--".
// `settings` may be null or not a table: every value is then "?".
std::vector<std::pair<std::string, std::string>> DescribeSettings(ZyLuaTE* settings);

// The four values as texts: numbers as JSON prints them, strings as they
// are, anything else "?" (no "f/" on the aperture).
SettingsTexts ReadSettingsTexts(ZyLuaTE* settings);

// The settings a host may set, by the words of `tether-host set` (iso,
// aperture, shutter, wb): the settings table's key and whether the value
// travels as a number.
struct SettingWord {
  const char* word;
  const char* key;
  bool number;
};
const SettingWord* FindSettingWord(const std::string& word);
extern const SettingWord kSettingWords[4];

}  // namespace tether_host

#endif  // TETHER_HOST_CAMERA_SETTINGS_H_
