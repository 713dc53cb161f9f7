#include "host/CameraSettings.h"

#include "host/JsonRender.h"

namespace tether_host {

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

std::vector<std::pair<std::string, std::string>> DescribeSettings(ZyLuaTE* settings) {
  ZyLuaTETable* table = settings != nullptr && settings->mType == ZyLuaTE::kTable
                            ? static_cast<ZyLuaTETable*>(settings)
                            : nullptr;
  const auto get = [&](const char* key) {
    return table == nullptr ? nullptr : table->elementForKey(key);
  };
  ZyLuaTE* aperture = get("aperture");
  std::string apertureText = Text(aperture);
  if (aperture != nullptr && aperture->mType == ZyLuaTE::kNumber && apertureText != "?") {
    apertureText = "f/" + apertureText;
  }
  return {{"ISO", Text(get("isoSpeed"))},
          {"Aperture", apertureText},
          {"Shutter", Text(get("shutter"))},
          {"White balance", Text(get("whiteBalance"))}};
}

}  // namespace tether_host
