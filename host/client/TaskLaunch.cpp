#include "host/client/TaskLaunch.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

namespace tether_host {

std::string DefaultTaskPath() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "tether-task";
  const std::string self(buf, static_cast<size_t>(n));
  const std::string dir = self.substr(0, self.find_last_of('/') + 1);
  const std::string installed = dir + "../lib/tether/bin/tether-task";
  char resolved[PATH_MAX];
  if (access(installed.c_str(), X_OK) == 0 && realpath(installed.c_str(), resolved) != nullptr) {
    return resolved;
  }
  return dir + "tether-task";
}

std::string DefaultTaskLogPath() {
  const char* state = getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/tether-host/task.log";
  const char* home = getenv("HOME");
  return std::string(home != nullptr && *home != '\0' ? home : "/tmp") +
         "/.local/state/tether-host/task.log";
}

}  // namespace tether_host
