// The cameras we drive: one row per accepted model, with its display name and
// every rule in which the models differ (what the settings read skips, how the
// white balance is named, how captured files are named, how a disconnection
// is recognised). The one place to look when a model is added or changed.
// Immutable; safe from any thread.
#ifndef TETHER_CAMERA_MODELS_H_
#define TETHER_CAMERA_MODELS_H_

#include <cstddef>
#include <cstdint>

namespace tether {

struct CameraModel {
  int32_t id;               // the model id the SDK reports; 0 in the default rules
  const char* displayName;  // untranslated, in the "Tether_qt" context; null in the default rules

  // Settings read at connection: a model without the property keeps no value
  // for it (aperture "--", white balance 0) instead of asking the SDK.
  bool readsAperture;
  bool readsWhiteBalance;
  // White balance shown as "Monochrome", whatever the index.
  bool monochrome;
  // The older bodies number their white-balance presets differently.
  bool remappedWhiteBalance;
  // The camera's object names already end in an extension: only ".jpg"
  // becomes ".dng" for DNG formats, nothing is appended.
  bool namesCarryExtension;
  // "file_name" of "objectWasAdded" is "<capture id>_<object name>".
  bool fileNamesPrefixCaptureId;
  // Some bodies report their disconnection under another id. Those marked
  // here are recognised by the id stored at connection; the others by the
  // id the disconnection reports.
  bool disconnectsByStoredId;
  // A camera of any make: "deviceAdded" names it by the camera's own name
  // (eKRV_SDK_PropCameraName, displayName when unread), its object names are
  // its file names kept as they are, and its raw file keeps its real
  // extension (TransferNames.h).
  bool camerasOwnNames;
};

// The accepted models, in id order: the six bodies, then any other camera.
extern const CameraModel kCameraModels[];
extern const size_t kCameraModelCount;

// The row of `modelId`, or null for a model we do not drive.
const CameraModel* FindCameraModel(int32_t modelId);

// The rules that apply to `modelId`: its row, or for no camera (0) and
// unknown ids the default rules (read everything, identity map, plain names).
const CameraModel& CameraModelRules(int32_t modelId);

// Whether a disconnection reported under `reportedId`, while `storedId` was
// the connected model (0 for none), is to be sent to the host.
bool IsDisconnectionReported(int32_t storedId, int32_t reportedId);

}  // namespace tether

#endif  // TETHER_CAMERA_MODELS_H_
