#include "camera/OptionalSdk.h"

// Unresolved weak references are null instead of failing the load.
#pragma weak KRV_SDK_getChoices
#pragma weak KRV_SDK_startLiveView
#pragma weak KRV_SDK_stopLiveView

namespace tether {

KRV_SDK_GetChoicesFunction SdkGetChoices() { return &KRV_SDK_getChoices; }
KRV_SDK_LiveViewFunction SdkStartLiveView() { return &KRV_SDK_startLiveView; }
KRV_SDK_LiveViewFunction SdkStopLiveView() { return &KRV_SDK_stopLiveView; }

}  // namespace tether
