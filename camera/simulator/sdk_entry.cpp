// The exported C functions of the simulated camera SDK. Everything else in
// the library is hidden (visibility preset and exports.map).
#include "camera/KRV_SDK.h"
#include "camera/simulator/simulator.h"

#define KRV_SDK_EXPORT extern "C" __attribute__((visibility("default")))

using krv_sim::Simulator;

KRV_SDK_EXPORT bool KRV_SDK_init(KRV_SDK_DeviceCallback callback, void* context) {
  return Simulator::instance().init(callback, context);
}

KRV_SDK_EXPORT bool KRV_SDK_setFrameCallback(KRV_SDK_FrameCallback callback, void* context) {
  return Simulator::instance().setFrameCallback(callback, context);
}

KRV_SDK_EXPORT bool KRV_SDK_setChangesCallback(KRV_SDK_ChangesCallback callback, void* context) {
  return Simulator::instance().setChangesCallback(callback, context);
}

KRV_SDK_EXPORT bool KRV_SDK_getProperty(int propertyId, void* buffer, unsigned int size) {
  return Simulator::instance().getProperty(propertyId, buffer, size);
}

KRV_SDK_EXPORT bool KRV_SDK_setProperty(int propertyId, const void* value, unsigned int size) {
  return Simulator::instance().setProperty(propertyId, value, size);
}

KRV_SDK_EXPORT bool KRV_SDK_capture(void) { return Simulator::instance().capture(); }

KRV_SDK_EXPORT bool KRV_SDK_requestClose(void) { return Simulator::instance().requestClose(); }

KRV_SDK_EXPORT bool KRV_SDK_exit(void) { return Simulator::instance().exit(); }

KRV_SDK_EXPORT int KRV_SDK_getChoices(int propertyId, void* values, unsigned int capacity,
                                      unsigned int* flags) {
  return Simulator::instance().getChoices(propertyId, values, capacity, flags);
}

KRV_SDK_EXPORT bool KRV_SDK_startLiveView(void) { return Simulator::instance().startLiveView(); }

KRV_SDK_EXPORT bool KRV_SDK_stopLiveView(void) { return Simulator::instance().stopLiveView(); }
