// The names that the image transfer gives things: the object name sent to the
// host, the orientation code's name, and the temporary file of a saved image.
// Pure functions; safe from any thread.
#ifndef TETHER_TRANSFER_NAMES_H_
#define TETHER_TRANSFER_NAMES_H_

#include <cstdint>

#include <QString>

namespace tether {

// Completes the camera's object name by the file format property (which files
// the capture delivers): where the model's names carry an extension already
// (CameraModels.h), only a ".jpg" there becomes ".dng" (any letter case) for
// DNG formats; other models get ".jpg" (formats 3 and 4) or ".dng" appended,
// unless the name already ends with that extension in any letter case. A
// camera named by its own names keeps the camera's file name unchanged.
QString CompleteObjectName(const QString& name, int32_t fileFormat, int32_t productId);

// False when a JPEG end should be dropped: formats 1 and 2 deliver the JPEG
// only for the camera's own use.
bool ShouldSaveJpeg(int32_t fileFormat);

// "AB" (upright, also for unknown codes), "CD" (3), "BC" (6), "DA" (8).
const char* OrientationName(int32_t orientation);

// <tempDir>/TetherTMP<captureId>.DNG or .JPG.
QString TemporaryImagePath(const QString& tempDir, int32_t captureId, bool isDng);

// The upper-case extension of the raw file of a camera named by its own
// names, from its object name ("DSC_0042.nef" gives "NEF"): 1 to 5 ASCII
// letters or digits after the last dot, other than JPG or JPEG; "DNG" for
// any other name, so that a hostile name never reaches the path.
QString RawFileExtension(const QString& objectName);

// <tempDir>/TetherTMP<captureId>.<extension>.
QString TemporaryImagePath(const QString& tempDir, int32_t captureId, const QString& extension);

}  // namespace tether

#endif  // TETHER_TRANSFER_NAMES_H_
