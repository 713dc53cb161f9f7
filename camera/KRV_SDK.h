// The camera SDK's C interface. Any library that exports these functions can
// stand in for the simulated one in Frameworks/libKRV_SDK.so.1.
//
// Callbacks may arrive on any thread, including synchronously from inside an
// SDK call; they get back the context given at registration unchanged.
#ifndef KRV_SDK_H_
#define KRV_SDK_H_

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*KRV_SDK_DeviceCallback)(void* context, bool connected, int modelId);
typedef void (*KRV_SDK_FrameCallback)(void* context, int state, const void* data, unsigned int size);
typedef void (*KRV_SDK_ChangesCallback)(void* context, int propertyId, const void* data,
                                        unsigned int size);

bool KRV_SDK_init(KRV_SDK_DeviceCallback callback, void* context);
bool KRV_SDK_setFrameCallback(KRV_SDK_FrameCallback callback, void* context);
bool KRV_SDK_setChangesCallback(KRV_SDK_ChangesCallback callback, void* context);
bool KRV_SDK_getProperty(int propertyId, void* buffer, unsigned int size);
bool KRV_SDK_setProperty(int propertyId, const void* value, unsigned int size);
bool KRV_SDK_capture(void);
bool KRV_SDK_requestClose(void);
bool KRV_SDK_exit(void);

// Optional functions. The task looks each one up by name at run time, so a
// library without them still loads; the task then answers the host's
// request with "not supported". The pointer types name their signatures.
//
// KRV_SDK_getChoices: the values `propertyId` (aperture, shutter time, ISO or
// white balance) accepts now, each in the property's width and type, written
// to `values`, which has room for `capacity` of them. Returns how many there
// are (when more than `capacity`, only the first `capacity` are written: call
// again with more room), or -1 when the camera cannot say (no camera, a
// property it has no choices for). *flags receives eKRV_SDK_Choice* bits.
// Setting one of the four properties to a value outside its choices fails.
int KRV_SDK_getChoices(int propertyId, void* values, unsigned int capacity, unsigned int* flags);
typedef int (*KRV_SDK_GetChoicesFunction)(int, void*, unsigned int, unsigned int*);

// KRV_SDK_startLiveView / KRV_SDK_stopLiveView: live frames, each a whole
// JPEG, arrive through the frame callback with eKRV_SDK_TransferLiveFrame
// until stopped or the camera goes away; the zoom level (int32, percent)
// with eKRV_SDK_TransferZoomLevel when it changes. A capture pauses them
// and they resume after its last file. False without a camera or when the
// camera refuses.
bool KRV_SDK_startLiveView(void);
bool KRV_SDK_stopLiveView(void);
typedef bool (*KRV_SDK_LiveViewFunction)(void);

// Property ids; the comment gives the value's width in bytes and its type.
enum {
  eKRV_SDK_PropAperture = 3,      // 8, double: f-number
  eKRV_SDK_PropShutterTime = 5,   // 8, double: seconds, negative for bulb
  eKRV_SDK_PropIso = 10,          // 4, int32: ISO speed
  eKRV_SDK_PropFileFormat = 30,   // 4, int32: which files a capture delivers
  eKRV_SDK_PropHostAccepted = 31, // 1, byte: set to 1 when the host accepts the camera
  eKRV_SDK_PropWhiteBalance = 32, // 4, int32: white-balance index, or Kelvin above 999
  // The colour temperatures the white balance takes, when its choices carry
  // eKRV_SDK_ChoiceKelvin.
  eKRV_SDK_PropKelvinMin = 33,    // 4, int32: Kelvin
  eKRV_SDK_PropKelvinMax = 34     // 4, int32: Kelvin
};

// Flags of KRV_SDK_getChoices.
enum {
  eKRV_SDK_ChoiceReadOnly = 1,  // the camera takes no new value now (its mode, a dial)
  eKRV_SDK_ChoiceKelvin = 2     // white balance: any Kelvin in [33, 34] besides the presets
};

// Model ids of the accepted cameras.
enum {
  eKRV_SDK_ModelK1 = 8201,      // 0x2009
  eKRV_SDK_ModelKMk2 = 8209,    // 0x2011
  eKRV_SDK_ModelRMk4 = 8225,    // 0x2021
  eKRV_SDK_ModelKMk3 = 8241,    // 0x2031
  eKRV_SDK_ModelKXMk1 = 8257,   // 0x2041
  eKRV_SDK_ModelTonal = 8273    // 0x2051
};

// Transfer states of the frame callback.
enum {
  eKRV_SDK_TransferOrientation = 0,
  eKRV_SDK_TransferThumbnail = 1,
  eKRV_SDK_TransferStartDNG = 2,
  eKRV_SDK_TransferStartJPG = 3,
  eKRV_SDK_TransferEndDNG = 4,
  eKRV_SDK_TransferEndJPG = 5,
  eKRV_SDK_TransferError = 6,
  eKRV_SDK_TransferAborted = 7,
  eKRV_SDK_TransferObjectName = 8,
  eKRV_SDK_TransferLiveFrame = 9,
  eKRV_SDK_TransferZoomLevel = 10
};

#ifdef __cplusplus
}
#endif

#endif  // KRV_SDK_H_
