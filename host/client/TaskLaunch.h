// How tether-host starts a task: which executable, where its log goes, and
// anything added to its environment. Shared by every command and session.
#ifndef TETHER_HOST_TASK_LAUNCH_H_
#define TETHER_HOST_TASK_LAUNCH_H_

#include <string>
#include <vector>

namespace tether_host {

struct TaskLaunch {
  std::string taskPath;                  // empty: the tether-task beside this executable
  std::string taskLogPath;               // empty: DefaultTaskLogPath()
  bool verbose = false;                  // also copy the task's log to stderr as it comes
  std::vector<std::string> environment;  // "NAME=value" added for the task
};

// tether-task in the folder of the running executable.
std::string DefaultTaskPath();
// $XDG_STATE_HOME/tether-host/task.log, or ~/.local/state/tether-host/task.log.
std::string DefaultTaskLogPath();

}  // namespace tether_host

#endif  // TETHER_HOST_TASK_LAUNCH_H_
