// The exported C functions of the camera SDK over libgphoto2. Everything
// else in the library is hidden (visibility preset and the exports map).
#include "camera/KRV_SDK.h"
#include "camera/gphoto2/bridge.h"

#define KRV_SDK_EXPORT extern "C" __attribute__((visibility("default")))

using krv_gphoto::Bridge;

KRV_SDK_EXPORT bool KRV_SDK_init(KRV_SDK_DeviceCallback callback, void* context) {
  return Bridge::instance().init(callback, context);
}

KRV_SDK_EXPORT bool KRV_SDK_setFrameCallback(KRV_SDK_FrameCallback callback, void* context) {
  return Bridge::instance().setFrameCallback(callback, context);
}

KRV_SDK_EXPORT bool KRV_SDK_setChangesCallback(KRV_SDK_ChangesCallback callback, void* context) {
  return Bridge::instance().setChangesCallback(callback, context);
}

KRV_SDK_EXPORT bool KRV_SDK_getProperty(int propertyId, void* buffer, unsigned int size) {
  return Bridge::instance().getProperty(propertyId, buffer, size);
}

KRV_SDK_EXPORT bool KRV_SDK_setProperty(int propertyId, const void* value, unsigned int size) {
  return Bridge::instance().setProperty(propertyId, value, size);
}

KRV_SDK_EXPORT int KRV_SDK_getChoices(int propertyId, void* values, unsigned int capacity,
                                      unsigned int* flags) {
  return Bridge::instance().getChoices(propertyId, values, capacity, flags);
}

KRV_SDK_EXPORT bool KRV_SDK_startLiveView(void) { return Bridge::instance().startLiveView(); }

KRV_SDK_EXPORT bool KRV_SDK_stopLiveView(void) { return Bridge::instance().stopLiveView(); }

KRV_SDK_EXPORT bool KRV_SDK_capture(void) { return Bridge::instance().capture(); }

KRV_SDK_EXPORT bool KRV_SDK_requestClose(void) { return Bridge::instance().requestClose(); }

KRV_SDK_EXPORT bool KRV_SDK_exit(void) { return Bridge::instance().exit(); }
