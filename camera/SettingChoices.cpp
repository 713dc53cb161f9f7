#include "camera/SettingChoices.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <algorithm>

#include "camera/CameraSettingsText.h"
#include "source/ProtocolNames.h"
#include "source/ZyLuaTableMarshalling.h"

namespace tether {

const SettingInfo kSettings[4] = {
    {proto::kIsoSpeed, eKRV_SDK_PropIso, SettingKind::kInt32},
    {proto::kAperture, eKRV_SDK_PropAperture, SettingKind::kDouble},
    {proto::kShutter, eKRV_SDK_PropShutterTime, SettingKind::kDouble},
    {proto::kWhiteBalance, eKRV_SDK_PropWhiteBalance, SettingKind::kInt32},
};

namespace {

size_t Width(const SettingInfo& s) { return s.kind == SettingKind::kInt32 ? 4 : 8; }

double Widen(const SettingInfo& s, const uint8_t* bytes) {
  if (s.kind == SettingKind::kInt32) {
    int32_t v;
    std::memcpy(&v, bytes, 4);
    return v;
  }
  double v;
  std::memcpy(&v, bytes, 8);
  return v;
}

std::vector<uint8_t> Narrow(const SettingInfo& s, double value) {
  std::vector<uint8_t> bytes(Width(s));
  if (s.kind == SettingKind::kInt32) {
    const int32_t v = static_cast<int32_t>(value);
    std::memcpy(bytes.data(), &v, 4);
  } else {
    std::memcpy(bytes.data(), &value, 8);
  }
  return bytes;
}

bool IsWhiteBalance(const SettingInfo& s) { return s.propertyId == eKRV_SDK_PropWhiteBalance; }
bool IsShutter(const SettingInfo& s) { return s.propertyId == eKRV_SDK_PropShutterTime; }

// A choice as the settings table shows it: numbers for ISO and aperture,
// texts for shutter and white balance.
ZyLuaTE* ChoiceElement(const SettingInfo& s, double value, int32_t productId) {
  if (IsShutter(s)) return new ZyLuaTEString(ShutterText(value).toStdString());
  if (IsWhiteBalance(s)) {
    return new ZyLuaTEString(
        WhiteBalanceText(static_cast<int32_t>(value), productId).toStdString());
  }
  return new ZyLuaTENumber(value);
}

// Whether `requested` names `choice` in the settings table's form. Numbers
// match to within display precision (an f-number travels as 5.6, the camera
// may hold 5.599999), texts exactly.
bool Names(const SettingInfo& s, ZyLuaTE* requested, double choice, int32_t productId) {
  if (requested->mType == ZyLuaTE::kNumber) {
    const double v = static_cast<double>(*requested);
    if (IsWhiteBalance(s)) return false;  // presets are named, Kelvin is "5600K"
    return std::fabs(v - choice) <= 1e-6 * std::max(1.0, std::fabs(choice));
  }
  if (requested->mType != ZyLuaTE::kString) return false;
  std::unique_ptr<ZyLuaTE> shown(ChoiceElement(s, choice, productId));
  if (shown->mType == ZyLuaTE::kString) {
    return static_cast<std::string>(*shown) == static_cast<std::string>(*requested);
  }
  return false;
}

// "5600K" -> 5600; -1 for anything else.
long KelvinOf(ZyLuaTE* requested) {
  if (requested->mType != ZyLuaTE::kString) return -1;
  const std::string text = static_cast<std::string>(*requested);
  if (text.size() < 2 || text.size() > 6 || text.back() != 'K') return -1;
  long k = 0;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    k = k * 10 + (text[i] - '0');
  }
  return k;
}

}  // namespace

Choices ReadChoices(const SettingInfo& setting, KRV_SDK_GetChoicesFunction getChoices,
                    bool (*getProperty)(int, void*, unsigned int)) {
  Choices c;
  std::vector<uint8_t> buffer(kMaxChoices * Width(setting));
  unsigned int flags = 0;
  const int count = getChoices(setting.propertyId, buffer.data(), kMaxChoices, &flags);
  if (count < 0) return c;
  c.known = true;
  c.readOnly = (flags & eKRV_SDK_ChoiceReadOnly) != 0;
  const unsigned int n = std::min(static_cast<unsigned int>(count), kMaxChoices);
  for (unsigned int i = 0; i < n; ++i) {
    const double v = Widen(setting, buffer.data() + i * Width(setting));
    if (std::isfinite(v)) c.values.push_back(v);
  }
  if (IsWhiteBalance(setting) && (flags & eKRV_SDK_ChoiceKelvin) != 0 &&
      getProperty(eKRV_SDK_PropKelvinMin, &c.kelvinMin, 4) &&
      getProperty(eKRV_SDK_PropKelvinMax, &c.kelvinMax, 4) && c.kelvinMin > 999 &&
      c.kelvinMin <= c.kelvinMax) {
    c.kelvin = true;
  }
  return c;
}

ZyLuaTETable* CreateChoicesTable(const SettingInfo& setting, const Choices& choices,
                                 int32_t productId) {
  auto* list = new ZyLuaTETable();
  for (size_t i = 0; i < choices.values.size(); ++i) {
    list->Set(new ZyLuaTENumber(static_cast<double>(i + 1)),
              ChoiceElement(setting, choices.values[i], productId));
  }
  auto* table = new ZyLuaTETable();
  table->Set(proto::kChoices, list);
  table->Set(proto::kReadOnly, new ZyLuaTENumber(choices.known && !choices.readOnly ? 0 : 1));
  if (choices.kelvin) {
    table->Set(proto::kKelvinMin, new ZyLuaTENumber(choices.kelvinMin));
    table->Set(proto::kKelvinMax, new ZyLuaTENumber(choices.kelvinMax));
  }
  return table;
}

Resolution ResolveValue(const SettingInfo& setting, const Choices& choices, ZyLuaTE* requested,
                        int32_t productId) {
  Resolution r;
  if (!choices.known || choices.readOnly) {
    r.refusal = proto::kReadOnlyNow;
    return r;
  }
  for (double choice : choices.values) {
    if (Names(setting, requested, choice, productId)) {
      r.value = choice;
      r.bytes = Narrow(setting, choice);
      return r;
    }
  }
  if (IsWhiteBalance(setting) && choices.kelvin) {
    const long k = KelvinOf(requested);
    if (k >= choices.kelvinMin && k <= choices.kelvinMax) {
      r.value = static_cast<double>(k);
      r.bytes = Narrow(setting, r.value);
      return r;
    }
  }
  r.refusal = proto::kNotAmongChoices;
  return r;
}

bool ReportedValue(const SettingInfo& setting, const void* data, unsigned int size,
                   double* value) {
  if (data == nullptr || size != Width(setting)) return false;
  *value = Widen(setting, static_cast<const uint8_t*>(data));
  return true;
}

}  // namespace tether
