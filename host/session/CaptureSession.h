// The capture flow over a running task: wait for a camera, then for each
// capture send "doCapture" and collect what the camera delivers, saving it
// by the rules of CaptureSaver (files of captures taken on the camera
// itself included), and finally ask for the settings in force. A file that
// cannot be saved ends the flow at once. Shutting the task down is left to
// the caller.
//
// A capture counts as complete once its thumbnail and both a DNG and a JPEG
// file are in; a camera set to deliver one format only sends one file, so a
// capture with its thumbnail and at least one file also completes after a
// quiet period with no news of it, or once a later capture has begun.
#ifndef TETHER_HOST_CAPTURE_SESSION_H_
#define TETHER_HOST_CAPTURE_SESSION_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/saving/CaptureSaver.h"
#include "host/client/Deadline.h"
#include "host/client/TaskProcess.h"

namespace tether_host {

struct CaptureOptions {
  int count = 1;
  std::string outDir = ".";
  int cameraTimeoutMs = 10000;    // from the start to "deviceAdded"
  int captureTimeoutMs = 30000;   // from "doCapture" to the capture's last file
  int quietMs = 2000;             // no news of a capture for this long: it is complete
  int settingsTimeoutMs = 5000;   // for the reply to "getCameraSettings"
  int wakeFd = -1;                // readable: the user asked to stop
  std::string filenamePattern = kDefaultFilenamePattern;  // checked by the caller
};

struct CaptureResult {
  enum class Outcome {
    kOk, kNoCamera, kTaskEnded, kBadFrame, kInterrupted, kTimeout, kSendFailed, kSaveFailed
  };
  Outcome outcome = Outcome::kOk;
  std::string message;  // why the flow stopped early; empty for kOk

  std::string cameraName;
  int deviceId = 0;
  int capturesCompleted = 0;
  std::vector<SavedFile> files;
  std::vector<std::string> problems;  // files whose size differs from the camera's report
  std::vector<SaveFailed> failures;   // files that could not be placed
  std::vector<IncompleteCapture> incomplete;
  std::unique_ptr<ZyLuaTE> settings;  // payload of the "ok" reply; null when none came
};

class CaptureSession : private TetherObserver {
 public:
  using Progress = std::function<void(const std::string& line)>;
  // `task` is borrowed and must outlive the session.
  CaptureSession(TaskProcess* task, CaptureOptions options, Progress progress);

  // Waits for a camera, takes options.count pictures, reads the settings.
  CaptureResult run();
  // Waits up to cameraTimeoutMs for a camera and reads its settings; asks
  // once briefly even when none was announced. result.settings stays null
  // when there is no camera.
  CaptureResult readSettings();
  // A message read after run() (while the task shuts down): its files are
  // saved too. Then collect() brings the result up to date.
  void handleLate(const HostMessage& message) { mSaver.handle(message); }
  // The number of the newest picture while it is still arriving, else 0.
  int pictureArriving() const;
  void collect(CaptureResult* result);
  // The task's log says it did not save a file (see TaskLog).
  void taskRefusedSave(FileKind kind, const std::string& why) { mSaver.taskRefusedSave(kind, why); }

 private:
  enum class Pump { kMessage, kTimeout, kStop };

  // Reads and handles one message within timeoutMs; kStop sets the outcome.
  Pump pump(int timeoutMs, CaptureResult* result);
  void handle(const HostMessage& message, CaptureResult* result);
  bool waitForCamera(CaptureResult* result);
  bool takeOneImage(int index, CaptureResult* result);
  bool waitForFiles(int index, int captureId, const Deadline& deadline, CaptureResult* result);
  void askSettings(int timeoutMs, CaptureResult* result);

  void captureAnnounced(const CaptureAnnounced& capture) override;
  void fileSaved(const FileSaved& file) override;
  void saveFailed(const SaveFailed& failure) override;

  TaskProcess* mTask;
  CaptureOptions mOptions;
  Progress mProgress;
  CaptureSaver mSaver;
  std::vector<int> mAnnounced;  // capture ids in order of their "objectWasAdded"
  size_t mClaimed = 0;          // how many of mAnnounced belong to a "doCapture" already
  bool mCameraPresent = false;
  int32_t mSettingsRequest = -1;
  std::string mFailure;         // the first file that could not be saved
};

}  // namespace tether_host

#endif  // TETHER_HOST_CAPTURE_SESSION_H_
