#include "camera/TransferNames.h"

#include "camera/CameraModels.h"

namespace tether {

namespace {
bool IsDngOnlyFormat(int32_t fileFormat) { return fileFormat == 1 || fileFormat == 2; }
bool IsJpegFormat(int32_t fileFormat) { return fileFormat == 3 || fileFormat == 4; }
}  // namespace

QString CompleteObjectName(const QString& name, int32_t fileFormat, int32_t productId) {
  QString result = name;
  if (CameraModelRules(productId).camerasOwnNames) return result;
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
  return TemporaryImagePath(tempDir, captureId,
                            isDng ? QStringLiteral("DNG") : QStringLiteral("JPG"));
}

QString RawFileExtension(const QString& objectName) {
  const int dot = objectName.lastIndexOf(QLatin1Char('.'));
  const QString extension = dot < 0 ? QString() : objectName.mid(dot + 1).toUpper();
  bool plain = !extension.isEmpty() && extension.size() <= 5;
  for (const QChar c : extension) {
    plain = plain && ((c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                      (c >= QLatin1Char('0') && c <= QLatin1Char('9')));
  }
  if (!plain || extension == QLatin1String("JPG") || extension == QLatin1String("JPEG")) {
    return QStringLiteral("DNG");
  }
  return extension;
}

QString TemporaryImagePath(const QString& tempDir, int32_t captureId, const QString& extension) {
  return tempDir + QStringLiteral("/TetherTMP") + QString::number(captureId) +
         QLatin1Char('.') + extension;
}

}  // namespace tether
