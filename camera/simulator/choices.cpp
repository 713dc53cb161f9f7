#include "camera/simulator/choices.h"

#include <cmath>

#include "camera/KRV_SDK.h"

namespace krv_sim {
namespace {

const std::vector<double> kIso = {100, 200, 400, 800, 1600, 3200, 6400};
// The first bodies stop at ISO 3200.
const std::vector<double> kIsoEarly = {100, 200, 400, 800, 1600, 3200};
const std::vector<double> kApertures = {2.8, 4, 5.6, 8, 11, 16};
const std::vector<double> kShutterTimes = {
    -1, 30, 2.5, 1, 0.5, 1.0 / 4, 1.0 / 8, 1.0 / 15, 1.0 / 30,
    1.0 / 60, 1.0 / 125, 1.0 / 250, 1.0 / 500, 1.0 / 1000};  // -1: bulb
// Auto, Daylight, Cloudy, Shadow, Tungsten, and the fluorescent and flash
// presets of the model's own numbering.
const std::vector<double> kWhiteBalances = {0, 1, 2, 3, 4, 6, 7, 8};

bool HasAperture(int model) { return model != 8225 && model != 8273; }

}  // namespace

bool ChoicesFor(int model, int id, std::vector<double>* values, unsigned int* flags) {
  *flags = 0;
  switch (id) {
    case eKRV_SDK_PropIso:
      *values = model == 8201 ? kIsoEarly : kIso;
      return true;
    case eKRV_SDK_PropAperture:
      if (!HasAperture(model)) return false;
      *values = kApertures;
      return true;
    case eKRV_SDK_PropShutterTime:
      *values = kShutterTimes;
      return true;
    case eKRV_SDK_PropWhiteBalance:
      if (model == 8273) return false;
      *values = kWhiteBalances;
      *flags = eKRV_SDK_ChoiceKelvin;
      return true;
    default:
      return false;
  }
}

bool IsAmongChoices(int model, int id, double value) {
  std::vector<double> values;
  unsigned int flags;
  if (!ChoicesFor(model, id, &values, &flags)) return false;
  for (double v : values) {
    if (std::fabs(v - value) <= 1e-9 * std::fmax(1.0, std::fabs(v))) return true;
  }
  return (flags & eKRV_SDK_ChoiceKelvin) != 0 && value >= kKelvinMin && value <= kKelvinMax;
}

}  // namespace krv_sim
