#include "camera/TransferNames.h"

#include "camera/CameraModels.h"

namespace tether {

namespace {
bool IsDngOnlyFormat(int32_t fileFormat) { return fileFormat == 1 || fileFormat == 2; }
bool IsJpegFormat(int32_t fileFormat) { return fileFormat == 3 || fileFormat == 4; }
}  // namespace

QString CompleteObjectName(const QString& name, int32_t fileFormat, int32_t productId) {
  QString result = name;
  if (CameraModelRules(productId).namesCarryExtension) {
    if (!IsJpegFormat(fileFormat)) {
      result.replace(QStringLiteral(".jpg"), QStringLiteral(".dng"), Qt::CaseInsensitive);
    }
    return result;
  }
  const QString extension = IsJpegFormat(fileFormat) ? QStringLiteral(".jpg")
                                                     : QStringLiteral(".dng");
  // A second thumbnail without a new object name must not double it.
  if (!result.endsWith(extension, Qt::CaseInsensitive)) result += extension;
  return result;
}

bool ShouldSaveJpeg(int32_t fileFormat) { return !IsDngOnlyFormat(fileFormat); }

const char* OrientationName(int32_t orientation) {
  switch (orientation) {
    case 3: return "CD";
    case 6: return "BC";
    case 8: return "DA";
    default: return "AB";
  }
}

QString TemporaryImagePath(const QString& tempDir, int32_t captureId, bool isDng) {
  return tempDir + QStringLiteral("/TetherTMP") + QString::number(captureId) +
         (isDng ? QStringLiteral(".DNG") : QStringLiteral(".JPG"));
}

}  // namespace tether
