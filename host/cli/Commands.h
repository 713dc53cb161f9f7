// The tether-host commands, each run with its parsed options; each returns
// the process's exit code (see CommandSupport.h).
#ifndef TETHER_HOST_COMMANDS_H_
#define TETHER_HOST_COMMANDS_H_

#include <string>

#include "host/session/CaptureSession.h"
#include "host/client/TaskLaunch.h"
#include "host/session/TetherSession.h"

namespace tether_host {

struct WatchArgs {
  std::string saveDataDir;  // empty: data values as size and digest only
  std::string outDir;       // empty: the task's files stay in its temporary folder
};

int runWatch(const TaskLaunch& launch, const WatchArgs& args);
int runCapture(const TaskLaunch& launch, const CaptureOptions& options);
int runSettings(const TaskLaunch& launch, int cameraTimeoutMs);
// Moves the pictures left by killed sessions into `outDir` (see
// LeftoverRecovery.h); the pattern is checked by the caller.
int runRecover(const std::string& outDir, const std::string& filenamePattern);
// Lists the cameras libgphoto2 detects (tether-cameras beside the task).
int runCameras(const TaskLaunch& launch);

struct TetherArgs {
  TetherOptions options;
  std::string hook;  // shell command run after each saved file; empty: none
};

// What runs beside a tethered session (the live page of `serve`): started
// once the session exists and before it runs (so it can observe it and
// request captures), stopped after it has ended.
class SessionCompanion {
 public:
  virtual ~SessionCompanion() = default;
  // False (after saying why) when the session must not run.
  virtual bool start(TetherSession* session) = 0;
  virtual void stop() = 0;
};
// `companion` is borrowed and may be null.
int runTether(const TetherArgs& args, SessionCompanion* companion = nullptr);

}  // namespace tether_host

#endif  // TETHER_HOST_COMMANDS_H_
