#include "host/client/CameraSettings.h"

#include "host/client/JsonRender.h"
#include "source/ProtocolNames.h"

namespace tether_host {

namespace proto = tether::proto;

namespace {

// A number as JSON prints it, a string as it is, anything else "?".
std::string Text(ZyLuaTE* value) {
  if (value == nullptr) return "?";
  if (value->mType == ZyLuaTE::kNumber) {
    const std::string n = JsonNumber(static_cast<ZyLuaTENumber*>(value)->mValue);
    return n == "null" ? "?" : n;
  }
  if (value->mType == ZyLuaTE::kString) return static_cast<ZyLuaTEString*>(value)->mString;
  return "?";
}

}  // namespace

SettingsTexts ReadSettingsTexts(ZyLuaTE* settings) {
  ZyLuaTETable* table = settings != nullptr && settings->mType == ZyLuaTE::kTable
                            ? static_cast<ZyLuaTETable*>(settings)
                            : nullptr;
  const auto get = [&](const char* key) {
    return Text(table == nullptr ? nullptr : table->elementForKey(key));
  };
  return {get(proto::kIsoSpeed), get(proto::kAperture), get(proto::kShutter),
          get(proto::kWhiteBalance)};
}

std::vector<std::pair<std::string, std::string>> DescribeSettings(ZyLuaTE* settings) {
  const SettingsTexts texts = ReadSettingsTexts(settings);
  const bool number = texts.aperture != "?" && texts.aperture != "--" &&
                      settings->mType == ZyLuaTE::kTable &&
                      static_cast<ZyLuaTETable*>(settings)->elementForKey(proto::kAperture)->mType ==
                          ZyLuaTE::kNumber;
  return {{"ISO", texts.iso},
          {"Aperture", number ? "f/" + texts.aperture : texts.aperture},
          {"Shutter", texts.shutter},
          {"White balance", texts.whiteBalance}};
}

const SettingWord kSettingWords[4] = {
    {"iso", tether::proto::kIsoSpeed, true},
    {"aperture", tether::proto::kAperture, true},
    {"shutter", tether::proto::kShutter, false},
    {"wb", tether::proto::kWhiteBalance, false},
};

const SettingWord* FindSettingWord(const std::string& word) {
  for (const SettingWord& w : kSettingWords) {
    if (word == w.word) return &w;
  }
  return nullptr;
}

}  // namespace tether_host
