// How tether-host starts a task: which executable, where its log goes, and
// anything added to its environment. Shared by every command and session.
#ifndef TETHER_HOST_TASK_LAUNCH_H_
#define TETHER_HOST_TASK_LAUNCH_H_

#include <string>
#include <vector>

namespace tether_host {

struct TaskLaunch {
  std::string taskPath;                  // empty: DefaultTaskPath()
  std::string taskLogPath;               // empty: DefaultTaskLogPath()
  bool verbose = false;                  // also copy the task's log to stderr as it comes
  std::vector<std::string> environment;  // "NAME=value" added for the task
};

// Which camera a task drives, in the words tether-host and the Python client
// share: "sim" (the simulated camera the task finds through its run path),
// "usb" (the first camera libgphoto2 detects), "usb:BUS,DEV", or
// "ptpip:ADDR[:PORT[:EVENTPORT]]" (an IPv4 literal, ports 1 to 65535).
// Empty when `word` is one of them; else why it is not, for the user.
std::string CameraWordProblem(const std::string& word);

// The libgphoto2 bridge's folder for the task at `taskPath` (empty: the
// default task): <task's folder>/../Frameworks/gphoto2, absolute, where the
// build tree and an installed tree both keep it.
std::string BridgeFolderFor(const std::string& taskPath);

// Adds to launch->environment what the task needs to drive `camera` (a
// valid word): nothing for "sim"; else LD_LIBRARY_PATH with the bridge's
// folder first (the loader searches it before the task's run path) and
// KRV_GPHOTO_CAMERA. False, with the reason, when the bridge is not there.
bool AddCameraEnvironment(const std::string& camera, TaskLaunch* launch, std::string* error);

// The task of an installed tree (../lib/tether/bin/tether-task from the
// running executable's folder) when it is there, else tether-task beside the
// executable (the build tree). Found from /proc/self/exe, so a moved tree works.
std::string DefaultTaskPath();
// $XDG_STATE_HOME/tether-host/task.log, or ~/.local/state/tether-host/task.log.
std::string DefaultTaskLogPath();

}  // namespace tether_host

#endif  // TETHER_HOST_TASK_LAUNCH_H_
