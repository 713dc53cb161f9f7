// What a tethered session tells the rest of tether-host as it runs: the
// camera coming and going, its settings, each capture and each file placed.
// The terminal status line, the hook runner and the live page are all
// observers of one session; none of them may slow it down.
//
// Thread: every call comes on the session's own thread, in the order the
// events happened. An observer must return quickly and never block (hand
// slow work to a thread or queue of its own). Events are passed by const
// reference and live only for the call: copy what you keep.
#ifndef TETHER_HOST_TETHER_EVENTS_H_
#define TETHER_HOST_TETHER_EVENTS_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace tether_host {

// The four display texts of the settings table, as the task sent them.
struct SettingsTexts {
  std::string iso;
  std::string aperture;
  std::string shutter;
  std::string whiteBalance;
};

// kRaw is a capture's raw file whatever its format: DNG from the simulated
// camera, the camera's own (NEF, CR3, ARW, RAF, DNG, ...) from a real one.
enum class FileKind { kThumbnail, kRaw, kJpeg };
// "thumbnail", "dng", "jpeg": the names used in hooks, on the page and in
// URLs ("dng" names the raw file in any format, as it always has).
const char* fileKindName(FileKind kind);
// "thumbnail", "raw", "JPEG": the word for people (summaries, status lines).
const char* fileKindLabel(FileKind kind);
// The word for a saved file: its format for a raw file ("DNG", "NEF"),
// else fileKindLabel.
std::string fileLabel(FileKind kind, const std::string& path);
// "thumb.jpg", "dng", "jpg": the extension a saved file of the kind gets by
// default; a raw file keeps its own format's (RawExtensionOf).
const char* fileKindExtension(FileKind kind);

// The kind of a file the task reported ("fileDownloadComplete"), from its
// extension: ".JPG" (any case, or ".jpeg") is the JPEG, any other is the
// capture's raw file ("TetherTMP7.NEF" as much as "TetherTMP7.DNG").
FileKind FileKindOfTaskFile(const std::string& path);
// The extension, lower case and without the dot, that a raw file saved from
// `name` keeps: "nef" for "TetherTMP7.NEF" or "DSC_0042.NEF". "dng" when the
// name's extension is not 1 to 5 ASCII letters or digits, or is jpg/jpeg.
std::string RawExtensionOf(const std::string& name);

// A capture the camera announced ("objectWasAdded").
struct CaptureAnnounced {
  int captureId = 0;         // the task's capture id
  int number = 0;            // 1, 2, 3, ... within this session
  std::string cameraName;    // "file_name" as the camera gave it
  std::string orientation;   // "AB", "BC", "CD" or "DA"
  std::chrono::system_clock::time_point time;
};

// A file placed durably in the output folder (fsync of file and folder done).
struct FileSaved {
  int captureId = 0;
  int number = 0;
  FileKind kind = FileKind::kThumbnail;
  std::string path;    // where it is now
  int64_t size = 0;    // bytes on disk
  // When the task's report of the file was read (for a thumbnail: its
  // message); the time to durable is the time of the event less this.
  std::chrono::steady_clock::time_point reportedAt;
};

// A file of a capture that could not be placed; the session goes on or
// ends as its rules say, but the failure is always told.
struct SaveFailed {
  int captureId = 0;
  int number = 0;
  FileKind kind = FileKind::kThumbnail;
  std::string message;  // names the file and the system's error
};

class TetherObserver {
 public:
  virtual ~TetherObserver() = default;
  // A camera connected (its model name) or disconnected (empty name).
  virtual void cameraChanged(const std::string& /*modelName*/) {}
  // Every "cameraSettingsChanged", and every "ok" that carries the
  // settings (the reply to "getCameraSettings" or "setCameraSettings").
  virtual void settingsChanged(const SettingsTexts& /*settings*/) {}
  virtual void captureAnnounced(const CaptureAnnounced& /*capture*/) {}
  virtual void fileSaved(const FileSaved& /*file*/) {}
  virtual void saveFailed(const SaveFailed& /*failure*/) {}
  // A capture whose files did not all arrive (what is missing, in words).
  virtual void captureIncomplete(int /*captureId*/, int /*number*/,
                                 const std::string& /*missing*/) {}
  // A live view frame: one whole JPEG, shared read-only (keep the pointer,
  // not a copy), and its number, counting up for the task's life.
  virtual void liveFrame(uint32_t /*sequence*/,
                         const std::shared_ptr<const std::string>& /*jpeg*/) {}
  // Live view ended without being asked to ("no camera").
  virtual void liveViewStopped(const std::string& /*reason*/) {}
};

}  // namespace tether_host

#endif  // TETHER_HOST_TETHER_EVENTS_H_
