#include "camera/gphoto2/setting_values.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace krv_gphoto {

namespace {

struct WhiteBalanceCode {
  uint32_t ptp;
  int32_t index;
};

// PTP's standard white-balance codes, then the vendor codes that generic
// drivers pass through unchanged (Nikon's cloudy, shade and preset).
const WhiteBalanceCode kWhiteBalanceCodes[] = {
    {0x0001, kWbMeasured},     // manual: measured off a grey card
    {0x0002, kWbAuto},         // automatic
    {0x0003, kWbMeasured},     // one-push automatic
    {0x0004, kWbDaylight},     // daylight
    {0x0005, kWbFluorescent},  // fluorescent
    {0x0006, kWbTungsten},     // tungsten
    {0x0007, kWbFlash},        // flash
    {0x8010, kWbCloudy},
    {0x8011, kWbShade},
    {0x8013, kWbMeasured},
};

struct WhiteBalanceName {
  const char* text;
  int32_t index;
};

// libgphoto2's texts for the same presets, compared ignoring case.
const WhiteBalanceName kWhiteBalanceNames[] = {
    {"Auto", kWbAuto},           {"Automatic", kWbAuto},        {"AWB", kWbAuto},
    {"Daylight", kWbDaylight},   {"Sunny", kWbDaylight},        {"Cloudy", kWbCloudy},
    {"Shade", kWbShade},         {"Shadow", kWbShade},          {"Tungsten", kWbTungsten},
    {"Incandescent", kWbTungsten}, {"Fluorescent", kWbFluorescent}, {"Flash", kWbFlash},
    {"Manual", kWbMeasured},     {"Preset", kWbMeasured},       {"Custom", kWbMeasured},
    {"One-push Automatic", kWbMeasured},
};

std::string Trimmed(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

// A finite positive number filling all of `text`.
bool PositiveNumber(const std::string& text, double* value) {
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v) || v <= 0) return false;
  *value = v;
  return true;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  return strncasecmp(text.c_str(), prefix, std::strlen(prefix)) == 0;
}

}  // namespace

double ApertureFromPtp(uint32_t value) { return (value & 0xFFFFu) / 100.0; }

double ShutterFromPtp(uint32_t value) {
  if (value == 0xFFFFFFFFu || value == 0xFFFFFFFDu) return -1.0;
  return value / 10000.0;
}

int32_t IsoFromPtp(uint32_t value) {
  const uint32_t iso = value & 0xFFFFu;
  return iso == 0xFFFFu ? 0 : static_cast<int32_t>(iso);
}

int32_t WhiteBalanceFromPtp(uint32_t value) {
  for (const WhiteBalanceCode& code : kWhiteBalanceCodes) {
    if (code.ptp == (value & 0xFFFFu)) return code.index;
  }
  return kWbUnknown;
}

bool PtpValueFromText(const std::string& text, uint32_t* value) {
  const std::string t = Trimmed(text);
  size_t i = (!t.empty() && (t[0] == '-' || t[0] == '+')) ? 1 : 0;
  if (i == t.size() || t.size() - i > 11) return false;
  for (size_t k = i; k < t.size(); ++k) {
    if (!std::isdigit(static_cast<unsigned char>(t[k]))) return false;
  }
  const long long v = std::strtoll(t.c_str(), nullptr, 10);
  if (v < INT32_MIN || v > static_cast<long long>(UINT32_MAX)) return false;
  *value = static_cast<uint32_t>(static_cast<int64_t>(v));
  return true;
}

bool ApertureFromText(const std::string& text, double* value) {
  std::string t = Trimmed(text);
  if (StartsWithNoCase(t, "f/")) t = t.substr(2);
  return PositiveNumber(t, value);
}

bool ShutterFromText(const std::string& text, double* value) {
  std::string t = Trimmed(text);
  if (StartsWithNoCase(t, "bulb") || StartsWithNoCase(t, "time")) {
    *value = -1.0;
    return true;
  }
  if (!t.empty() && (t.back() == 's' || t.back() == 'S')) t.pop_back();
  const size_t slash = t.find('/');
  if (slash == std::string::npos) return PositiveNumber(t, value);
  double numerator, denominator;
  if (!PositiveNumber(t.substr(0, slash), &numerator) ||
      !PositiveNumber(t.substr(slash + 1), &denominator)) {
    return false;
  }
  *value = numerator / denominator;
  return true;
}

bool IsoFromText(const std::string& text, int32_t* value) {
  const std::string t = Trimmed(text);
  if (StartsWithNoCase(t, "auto")) {
    *value = 0;
    return true;
  }
  uint32_t v;
  if (t.empty() || t[0] == '-' || !PtpValueFromText(t, &v) || v == 0 || v > INT32_MAX) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

bool WhiteBalanceFromText(const std::string& text, int32_t* value) {
  const std::string t = Trimmed(text);
  if (t.size() > 1 && (t.back() == 'K' || t.back() == 'k')) {
    uint32_t kelvin;
    const std::string digits = t.substr(0, t.size() - 1);
    if (!digits.empty() && digits[0] != '-' && PtpValueFromText(digits, &kelvin) &&
        kelvin > 999 && kelvin <= 100000) {
      *value = static_cast<int32_t>(kelvin);
      return true;
    }
    return false;
  }
  for (const WhiteBalanceName& name : kWhiteBalanceNames) {
    if (strcasecmp(t.c_str(), name.text) == 0) {
      *value = name.index;
      return true;
    }
  }
  return false;
}

bool ChangedPtpProperty(const char* text, uint16_t* code) {
  static const char kPrefix[] = "PTP Property ";
  if (text == nullptr || std::strncmp(text, kPrefix, sizeof kPrefix - 1) != 0) return false;
  const char* hex = text + sizeof kPrefix - 1;
  uint16_t v = 0;
  for (int i = 0; i < 4; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(hex[i]))) return false;
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(hex[i])));
    v = static_cast<uint16_t>(v * 16 + (c <= '9' ? c - '0' : c - 'a' + 10));
  }
  if (std::strncmp(hex + 4, " changed", 8) != 0) return false;
  *code = v;
  return true;
}

}  // namespace krv_gphoto
