// A tethered session: starts the task with a private temporary directory,
// waits for a camera (also again after it goes), and saves every picture
// the camera delivers, whether its shutter was pressed on the camera or a
// capture was requested here, into the output folder under the session's
// naming pattern. It tells its observers about each step and ends on
// requestStop(), after `count` pictures, or when the task fails; then it
// shuts the task down and returns what was saved and what was not.
//
// Thread: run() runs the whole session on the calling thread, once.
// requestCapture() and requestStop() may be called from any thread at any
// time (before run(), during it, after it), and never block. Observers are
// called on run()'s thread only.
#ifndef TETHER_HOST_TETHER_SESSION_H_
#define TETHER_HOST_TETHER_SESSION_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/client/HostMessage.h"
#include "host/saving/CaptureSaver.h"
#include "host/client/TaskLaunch.h"
#include "host/client/TetherEvents.h"

namespace tether_host {

struct TetherOptions {
  std::string outDir = ".";                          // created with its parents when missing
  std::string filenamePattern = kDefaultFilenamePattern;  // see FilenamePattern.h
  int count = 0;                                     // > 0: end after this many pictures
  TaskLaunch launch;                                 // which task, where its log goes
  // The session's own lines for the user (a task log that fell back, a
  // picture being finished after a stop request); run()'s thread; may be empty.
  std::function<void(const std::string&)> say;
};

struct TetherResult {
  enum class End {
    kStopped,       // requestStop()
    kCountReached,  // `count` pictures are in
    kSetupFailed,   // a bad pattern, an output folder or task log that cannot be made
    kNoTask,        // the task cannot be started
    kTaskEnded,     // the task ended by itself
    kBadFrame,      // the task's output stopped making sense
  };
  End end = End::kStopped;
  std::string message;            // why the session ended, for kSetupFailed .. kBadFrame
  std::string cameraName;         // the last camera seen; empty when none came
  SaveRecord saved;               // every file placed, failed or missing
  std::vector<std::string> leftovers;  // files that stayed in the temporary directory
  std::string taskLogPath;        // where the task's log went; empty when nowhere
  std::vector<std::string> taskLogTail;  // its last lines, for a failure report

  // Every picture the camera delivered was saved whole.
  bool allSaved() const { return saved.failures.empty() && saved.incomplete.empty(); }
};

class TetherSession {
 public:
  explicit TetherSession(TetherOptions options);
  ~TetherSession();
  TetherSession(const TetherSession&) = delete;
  TetherSession& operator=(const TetherSession&) = delete;

  // Borrowed; must outlive run(). Add before run().
  void addObserver(TetherObserver* observer);

  // Sends "doCapture" as soon as a camera is connected (requests made while
  // there is none wait for one). Any thread.
  void requestCapture();
  // Steps a setting through the camera's choices (SettingStep.h): `setting`
  // is kStepIso, kStepAperture or kStepShutter, `direction` +1 up, -1 down.
  // Steps made while one is on its way add up and follow it; each asks the
  // camera's choices afresh and sets the value with "setCameraSettings",
  // saying through TetherOptions::say when the camera refused or there was
  // nothing to step to. Without a camera they are dropped. Any thread.
  enum StepSetting { kStepIso, kStepAperture, kStepShutter };
  void requestStep(StepSetting setting, int direction);
  // Ends the session in order: no new requests, the task is shut down, and
  // files still arriving until it has ended are saved. A second request
  // stops the task at once; what it had not delivered stays in its
  // temporary folder (TetherResult::leftovers). Any thread.
  void requestStop();

  // The task's reply ("ok" with the request's id) to request(), or null
  // when none will come (the task ended, or the session is over). Called on
  // run()'s thread, or on request()'s caller when the session is already
  // over; must not block.
  using ReplyHandler = std::function<void(const HostMessage* reply)>;
  // Sends `name` with `payload` (may be null) to the task as soon as run()
  // gets to it, camera or not (the task answers "no camera" itself), and
  // hands the reply to `onReply`. A reply carrying "settings" also reaches
  // the observers as settingsChanged. Any thread; never blocks.
  void request(std::string name, std::unique_ptr<ZyLuaTETable> payload, ReplyHandler onReply);

  TetherResult run();

 private:
  class Impl;
  std::unique_ptr<Impl> mImpl;
};

}  // namespace tether_host

#endif  // TETHER_HOST_TETHER_SESSION_H_
