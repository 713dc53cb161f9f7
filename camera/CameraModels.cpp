#include "camera/CameraModels.h"

#include <QtGlobal>

#include "camera/KRV_SDK.h"

namespace tether {

// Each row: id and display name, then the rules in the order of the struct:
//   reads aperture, reads white balance, monochrome, remapped white balance,
//   names carry extension, file names prefix capture id, disconnects by stored id,
//   camera's own names.
const CameraModel kCameraModels[] = {
    {eKRV_SDK_ModelK1, QT_TRANSLATE_NOOP("Tether_qt", "Orvak K1"),
     /*aperture*/ true, /*wb*/ true, /*mono*/ false, /*remap*/ true,
     /*ext*/ false, /*prefix*/ false, /*stored*/ false, /*own*/ false},
    {eKRV_SDK_ModelKMk2, QT_TRANSLATE_NOOP("Tether_qt", "Orvak K (Mk 2)"),
     /*aperture*/ true, /*wb*/ true, /*mono*/ false, /*remap*/ true,
     /*ext*/ false, /*prefix*/ false, /*stored*/ false, /*own*/ false},
    {eKRV_SDK_ModelRMk4, QT_TRANSLATE_NOOP("Tether_qt", "Orvak R (Mk 4)"),
     /*aperture*/ false, /*wb*/ true, /*mono*/ false, /*remap*/ true,
     /*ext*/ false, /*prefix*/ false, /*stored*/ false, /*own*/ false},
    {eKRV_SDK_ModelKMk3, QT_TRANSLATE_NOOP("Tether_qt", "Orvak K (Mk 3)"),
     /*aperture*/ true, /*wb*/ true, /*mono*/ false, /*remap*/ false,
     /*ext*/ false, /*prefix*/ false, /*stored*/ true, /*own*/ false},
    {eKRV_SDK_ModelKXMk1, QT_TRANSLATE_NOOP("Tether_qt", "Orvak KX (Mk 1)"),
     /*aperture*/ true, /*wb*/ true, /*mono*/ false, /*remap*/ false,
     /*ext*/ true, /*prefix*/ true, /*stored*/ false, /*own*/ false},
    {eKRV_SDK_ModelTonal, QT_TRANSLATE_NOOP("Tether_qt", "Orvak Tonal"),
     /*aperture*/ false, /*wb*/ false, /*mono*/ true, /*remap*/ false,
     /*ext*/ false, /*prefix*/ false, /*stored*/ false, /*own*/ false},
    {eKRV_SDK_ModelGeneric, QT_TRANSLATE_NOOP("Tether_qt", "Camera"),
     /*aperture*/ true, /*wb*/ true, /*mono*/ false, /*remap*/ false,
     /*ext*/ false, /*prefix*/ false, /*stored*/ true, /*own*/ true},
};
const size_t kCameraModelCount = sizeof kCameraModels / sizeof kCameraModels[0];

namespace {
// No camera, or one we do not drive: every property is read, nothing special.
const CameraModel kDefaultRules = {0, nullptr,
                                   /*aperture*/ true, /*wb*/ true, /*mono*/ false, /*remap*/ false,
                                   /*ext*/ false, /*prefix*/ false, /*stored*/ false,
                                   /*own*/ false};
}  // namespace

const CameraModel* FindCameraModel(int32_t modelId) {
  for (const CameraModel& model : kCameraModels) {
    if (model.id == modelId) return &model;
  }
  return nullptr;
}

const CameraModel& CameraModelRules(int32_t modelId) {
  const CameraModel* model = FindCameraModel(modelId);
  return model != nullptr ? *model : kDefaultRules;
}

bool IsDisconnectionReported(int32_t storedId, int32_t reportedId) {
  const CameraModel* stored = FindCameraModel(storedId);
  if (stored != nullptr && stored->disconnectsByStoredId) return true;
  const CameraModel* reported = FindCameraModel(reportedId);
  return reported != nullptr && !reported->disconnectsByStoredId;
}

}  // namespace tether
