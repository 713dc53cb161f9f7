// The capture flow over a running task: wait for a camera, then for each
// capture send "doCapture" and collect what the camera delivers (the object
// name, the thumbnail, one file per image format), placing every file in the
// output directory under the camera's name without replacing anything, and
// finally ask for the settings in force. Shutting the task down is left to
// the caller.
//
// A capture counts as complete once its thumbnail and both a DNG and a JPEG
// file are in; a camera set to deliver one format only sends one file, so a
// capture with its thumbnail and at least one file also completes after a
// quiet period with no news of it. Files of any capture are saved whenever
// they arrive, including those of captures taken on the camera itself.
#ifndef TETHER_HOST_CAPTURE_SESSION_H_
#define TETHER_HOST_CAPTURE_SESSION_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/TaskProcess.h"

namespace tether_host {

struct CaptureOptions {
  int count = 1;
  std::string outDir = ".";
  int cameraTimeoutMs = 10000;    // from the start to "deviceAdded"
  int captureTimeoutMs = 30000;   // from "doCapture" to the capture's last file
  int quietMs = 2000;             // no news of a capture for this long: it is complete
  int settingsTimeoutMs = 5000;   // for the reply to "getCameraSettings"
  int wakeFd = -1;                // readable: the user asked to stop
};

struct SavedFile {
  int captureId = 0;
  std::string kind;          // "DNG", "JPEG", "thumbnail", or the upper-case extension
  std::string path;          // where it is now
  int64_t size = -1;         // on disk, -1 when it could not be measured
  int64_t reportedSize = -1; // "file_size" of the report; -1 for thumbnails
  bool sizeMatches() const { return reportedSize < 0 || size == reportedSize; }
};

struct CaptureResult {
  enum class Outcome { kOk, kNoCamera, kTaskEnded, kBadFrame, kInterrupted, kTimeout, kSendFailed };
  Outcome outcome = Outcome::kOk;
  std::string message;  // why the flow stopped early; empty for kOk

  std::string cameraName;
  int deviceId = 0;
  int capturesCompleted = 0;
  std::vector<SavedFile> files;
  std::vector<std::string> problems;  // files that could not be placed or have the wrong size
  std::unique_ptr<ZyLuaTE> settings;  // payload of the "ok" reply; null when none came
};

class CaptureSession {
 public:
  using Progress = std::function<void(const std::string& line)>;
  // `task` is borrowed and must outlive the session.
  CaptureSession(TaskProcess* task, CaptureOptions options, Progress progress);

  CaptureResult run();

 private:
  struct CaptureState {
    std::string base;   // file stem, from the camera's name
    int suffix = 0;     // numbered suffix shared by the capture's files
    bool named = false;
    bool thumbnail = false;
    bool dng = false;
    bool jpeg = false;
    int files = 0;
    std::chrono::steady_clock::time_point lastNews;
  };
  enum class Pump { kMessage, kTimeout, kStop };

  // Reads and handles one message within timeoutMs; kStop sets the outcome.
  Pump pump(int timeoutMs, CaptureResult* result);
  void handle(const HostMessage& message, CaptureResult* result);
  CaptureState& stateFor(int captureId);
  void nameCapture(int captureId, const std::string& fileName);
  bool waitForCamera(CaptureResult* result);
  bool takeOneImage(int index, CaptureResult* result);
  void askSettings(CaptureResult* result);

  TaskProcess* mTask;
  CaptureOptions mOptions;
  Progress mProgress;
  std::map<int, CaptureState> mCaptures;
  std::vector<int> mAnnounced;  // capture ids in order of their "objectWasAdded"
  size_t mClaimed = 0;          // how many of mAnnounced belong to a "doCapture" already
  bool mCameraPresent = false;
  int32_t mSettingsRequest = -1;
};

}  // namespace tether_host

#endif  // TETHER_HOST_CAPTURE_SESSION_H_
