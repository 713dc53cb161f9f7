// Which of the files a camera announces belong to one capture. A camera that
// shoots RAW+JPEG announces two objects (in either order, sometimes after its
// CaptureComplete); they share a file stem ("DSC_0042.NEF", "DSC_0042.JPG").
// A capture closes when it holds a raw and a JPEG, when a file of another stem
// or a second file of a kind arrives, at CaptureComplete, or when no file has
// joined it for a short window. Not thread-safe: the worker's alone.
#ifndef KRV_GPHOTO_CAPTURE_FILES_H_
#define KRV_GPHOTO_CAPTURE_FILES_H_

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace krv_gphoto {

enum class FileKind { kRaw, kJpeg, kOther };

// By the extension, any letter case: .JPG/.JPEG, or one of the raw formats
// (NEF, CR2, CR3, ARW, RAF, DNG, ORF, RW2, PEF, ...); anything else is other.
FileKind KindOfFile(const std::string& name);

// The name without its last extension ("DSC_0042.NEF" gives "DSC_0042").
std::string FileStem(const std::string& name);

struct CameraFile {
  std::string folder;
  std::string name;
};

// One capture: at most one raw and one JPEG.
struct Capture {
  std::optional<CameraFile> raw;
  std::optional<CameraFile> jpeg;
  // The name reported to the host: the raw's when there is one.
  const std::string& objectName() const { return raw ? raw->name : jpeg->name; }
};

class CaptureAssembler {
 public:
  using Clock = std::chrono::steady_clock;

  explicit CaptureAssembler(Clock::duration window) : mWindow(window) {}

  // A file the camera announced. Returns the captures it closes (at most
  // two: the open one, and this file's own when it completes a pair). Files
  // of another kind (movies, sidecars) are ignored.
  std::vector<Capture> add(const CameraFile& file, Clock::time_point now);
  // CaptureComplete, or the camera went away: the open capture, if any.
  std::optional<Capture> close();
  // The open capture when its window has passed at `now`.
  std::optional<Capture> expire(Clock::time_point now);
  // When the open capture's window ends; none without one.
  std::optional<Clock::time_point> deadline() const {
    if (!mOpen) return std::nullopt;
    return mLastAdded + mWindow;
  }
  bool hasOpen() const { return mOpen.has_value(); }

 private:
  Clock::duration mWindow;
  std::optional<Capture> mOpen;
  std::string mOpenStem;
  Clock::time_point mLastAdded;
};

}  // namespace krv_gphoto

#endif  // KRV_GPHOTO_CAPTURE_FILES_H_
