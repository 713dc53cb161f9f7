// The control socket's command language (one line in, one line out), as one
// table: each command's name, its usage and its handler. "help" and the
// usage errors are made from the table; README.md lists the same commands.
#ifndef KRV_SIM_CONTROL_COMMANDS_H_
#define KRV_SIM_CONTROL_COMMANDS_H_

#include <optional>
#include <string>
#include <vector>

#include "camera/simulator/command_words.h"

namespace krv_sim {

class Simulator;

// A handler's reply ("ok ..." or "error ..."), or nullopt when the arguments
// do not fit the command's usage.
using ControlReply = std::optional<std::string>;

struct ControlCommand {
  std::string name;
  std::string usage;  // the arguments as help lists them; empty: none
  // Parses the arguments (words[0] is the name), does the work, replies.
  ControlReply (*handler)(Simulator* sim, const CommandWords& words);
  std::string usageError;  // the arguments as a usage error shows them, if not `usage`
};

// Every command, in the order help lists them.
const std::vector<ControlCommand>& ControlCommands();

// Executes `line` against `sim` and returns "ok ..." or "error ...". Commands
// that make the camera call back return only after the worker has delivered
// those callbacks, so a client sees their effects once it has the reply.
// Thread: the control socket's.
std::string ExecuteControlCommand(Simulator* sim, const std::string& line);

}  // namespace krv_sim

#endif  // KRV_SIM_CONTROL_COMMANDS_H_
