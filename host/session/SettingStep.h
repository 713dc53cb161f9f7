// Stepping one setting through the camera's choices, as the terminal's keys
// do: ISO and aperture by their numbers, the shutter by its time ("1/250"
// before "2.5" before "Bulb"), so that up is always the larger value
// whatever order the camera lists its choices in.
#ifndef TETHER_HOST_SETTING_STEP_H_
#define TETHER_HOST_SETTING_STEP_H_

#include <memory>

#include "source/ZyLuaTableMarshalling.h"

namespace tether_host {

// The choice `steps` places above (> 0) or below (< 0) `current`, stopping
// at the last choice; a current value that is not among the choices counts
// from where it would stand. `entry` is one setting's table of a
// "getCameraChoices" reply ("choices" 1..n). Null when there is nothing to
// step to: no choices, a current value of no known order, or already at the
// end. Both arguments are borrowed and may be null; the result is the
// caller's.
std::unique_ptr<ZyLuaTE> StepChoice(ZyLuaTE* entry, ZyLuaTE* current, int steps);

}  // namespace tether_host

#endif  // TETHER_HOST_SETTING_STEP_H_
