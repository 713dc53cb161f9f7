// What each simulated model offers for its four settings, as a camera
// would: a few real stops of ISO, aperture and shutter time, white-balance
// presets and a Kelvin range. A model that has no such setting (no aperture
// read on 8225 and 8273, no white balance on the monochrome 8273) cannot
// say, like a body without the dial.
#ifndef KRV_SIM_CHOICES_H_
#define KRV_SIM_CHOICES_H_

#include <cstdint>
#include <vector>

namespace krv_sim {

constexpr int32_t kKelvinMin = 2500;
constexpr int32_t kKelvinMax = 10000;

// The choices of property `id` on `model`, as doubles (int32 properties
// widened), with the eKRV_SDK_Choice* flags other than read-only. False when
// the model has none for it.
bool ChoicesFor(int model, int id, std::vector<double>* values, unsigned int* flags);

// Whether `value` is among them (Kelvin within the range included).
bool IsAmongChoices(int model, int id, double value);

}  // namespace krv_sim

#endif  // KRV_SIM_CHOICES_H_
