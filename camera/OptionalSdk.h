// The camera library's optional functions (camera/KRV_SDK.h), each null when
// the loaded library lacks it. They are weak references, so the task loads
// with any library of the interface and answers "not supported" for what the
// library cannot do. Safe from any thread.
#ifndef TETHER_CAMERA_OPTIONAL_SDK_H_
#define TETHER_CAMERA_OPTIONAL_SDK_H_

#include "camera/KRV_SDK.h"

namespace tether {

KRV_SDK_GetChoicesFunction SdkGetChoices();
KRV_SDK_LiveViewFunction SdkStartLiveView();
KRV_SDK_LiveViewFunction SdkStopLiveView();

}  // namespace tether

#endif  // TETHER_CAMERA_OPTIONAL_SDK_H_
