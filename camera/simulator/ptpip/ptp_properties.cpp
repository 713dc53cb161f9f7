#include "camera/simulator/ptpip/ptp_properties.h"

#include <algorithm>

#include "camera/simulator/ptpip/ptp_codes.h"
#include "camera/simulator/ptpip/ptp_data.h"
#include "camera/simulator/sim_config.h"

namespace krv_sim {
namespace ptp {

namespace {
constexpr int64_t kAutoIso = 0xFFFF;
constexpr int64_t kBulb = 0xFFFFFFFF;
}  // namespace

const std::vector<PropertySpec>& Properties() {
  static const std::vector<PropertySpec> kProperties = {
      {kBatteryLevel, kUint8, "battery", {}, 80, 0, 100, true},
      // 2 automatic, 4 daylight, 5 fluorescent, 6 tungsten, 7 flash, 1 manual,
      // 0x8001 the colour temperature below.
      {kWhiteBalance, kUint16, "wb", {2, 4, 5, 6, 7, 1, kColorTemperatureWb}, 2},
      // f-number * 100.
      {kFNumber, kUint16, "aperture", {140, 180, 200, 280, 400, 560, 800, 1100, 1600, 2200}, 560},
      // 1/10000 s; 0xFFFFFFFF is bulb.
      {kExposureTime,
       kUint32,
       "shutter",
       {10, 20, 40, 80, 166, 333, 666, 1250, 2500, 5000, 10000, 20000, 300000, kBulb},
       80},
      // 0xFFFF is automatic ISO.
      {kExposureIndex, kUint16, "iso", {100, 200, 400, 800, 1600, 3200, 6400, kAutoIso}, 400},
      // Bit 0: a video (live view) stream.
      {kSupportedStreams, kUint32, "supported-streams", {}, 1, 0, -1, true},
      {kEnabledStreams, kUint32, "enabled-streams", {0, 1}, 0},
      // Kelvin, in steps of 100.
      {kColorTemperature, kUint16, "kelvin", {}, 5600, 2500, 10000, false, 100},
  };
  return kProperties;
}

const PropertySpec* FindProperty(uint16_t code) {
  for (const PropertySpec& p : Properties()) {
    if (p.code == code) return &p;
  }
  return nullptr;
}

const PropertySpec* FindProperty(const std::string& nameOrCode) {
  for (const PropertySpec& p : Properties()) {
    if (nameOrCode == p.name) return &p;
  }
  int64_t code;
  if (ParseInt64(nameOrCode, &code) && code >= 0 && code <= 0xFFFF) {
    return FindProperty(static_cast<uint16_t>(code));
  }
  return nullptr;
}

bool AcceptsValue(const PropertySpec& spec, int64_t value) {
  if (!spec.values.empty()) {
    return std::find(spec.values.begin(), spec.values.end(), value) != spec.values.end();
  }
  return spec.rangeMin <= spec.rangeMax && value >= spec.rangeMin && value <= spec.rangeMax &&
         (value - spec.rangeMin) % spec.rangeStep == 0;
}

std::vector<uint8_t> PropDescDataset(const PropertySpec& spec, int64_t current, bool settable) {
  DataWriter w;
  w.u16(spec.code);
  w.u16(spec.type);
  w.u8(settable ? 1 : 0);
  w.value(spec.type, spec.factory);
  w.value(spec.type, current);
  if (!spec.values.empty()) {
    w.u8(2);  // enumeration
    w.u16(static_cast<uint16_t>(spec.values.size()));
    for (int64_t v : spec.values) w.value(spec.type, v);
  } else if (spec.rangeMin <= spec.rangeMax) {
    w.u8(1);  // range
    w.value(spec.type, spec.rangeMin);
    w.value(spec.type, spec.rangeMax);
    w.value(spec.type, spec.rangeStep);
  } else {
    w.u8(0);
  }
  return std::move(w.data());
}

}  // namespace ptp
}  // namespace krv_sim
