// choices, set and liveview: the camera driven from the command line.
#ifndef TETHER_HOST_CONTROL_COMMANDS_H_
#define TETHER_HOST_CONTROL_COMMANDS_H_

#include <string>
#include <vector>

#include "host/client/TaskLaunch.h"

namespace CLI {
class App;
}

namespace tether_host {

struct ControlArgs {
  int cameraTimeoutMs = 5000;
  std::vector<std::string> assignments;  // set: KEY=VALUE
  int frames = 10;                       // liveview
  std::string outDir;                    // liveview
};

// Adds the three commands to `app`, their options into `args`.
void AddControlCommands(CLI::App* app, ControlArgs* args);
// The exit code of the control command on the command line, or -1 when it
// named another command.
int RunControlCommand(const CLI::App& app, const TaskLaunch& launch, const ControlArgs& args);

}  // namespace tether_host

#endif  // TETHER_HOST_CONTROL_COMMANDS_H_
