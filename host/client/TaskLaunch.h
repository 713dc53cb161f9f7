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

// The task of an installed tree (../lib/tether/bin/tether-task from the
// running executable's folder) when it is there, else tether-task beside the
// executable (the build tree). Found from /proc/self/exe, so a moved tree works.
std::string DefaultTaskPath();
// $XDG_STATE_HOME/tether-host/task.log, or ~/.local/state/tether-host/task.log.
std::string DefaultTaskLogPath();

}  // namespace tether_host

#endif  // TETHER_HOST_TASK_LAUNCH_H_
