// The control socket's command language (one line in, one line out), as one
// table: each command's name, its usage and its handlers. The simulator has
// two faces, the camera SDK and the PTP/IP camera (ptpip/); a command has a
// handler for each face it serves, and "help" on a face lists those. "help"
// and the usage errors are made from the table; README.md lists the same
// commands.
#ifndef KRV_SIM_CONTROL_COMMANDS_H_
#define KRV_SIM_CONTROL_COMMANDS_H_

#include <optional>
#include <string>
#include <vector>

#include "camera/simulator/command_words.h"

namespace krv_sim {

class Simulator;
class PtpipCamera;

// A handler's reply ("ok ..." or "error ..."), or nullopt when the arguments
// do not fit the command's usage.
using ControlReply = std::optional<std::string>;

struct ControlCommand {
  std::string name;
  std::string usage;  // the arguments as help lists them; empty: none
  // Parses the arguments (words[0] is the name), does the work, replies.
  // Null: not a command of the SDK face.
  ControlReply (*handler)(Simulator* sim, const CommandWords& words);
  std::string usageError;  // the arguments as a usage error shows them, if not `usage`
  // The same for the PTP/IP camera; null: not a command of that face.
  ControlReply (*ptpip)(PtpipCamera* camera, const CommandWords& words);
};

// Every command, in the order help lists them.
const std::vector<ControlCommand>& ControlCommands();

// Executes `line` against `sim` and returns "ok ..." or "error ...". Commands
// that make the camera call back return only after the worker has delivered
// those callbacks, so a client sees their effects once it has the reply.
// Thread: the control socket's.
std::string ExecuteControlCommand(Simulator* sim, const std::string& line);
// The same against the PTP/IP camera. Thread: the control socket's.
std::string ExecuteControlCommand(PtpipCamera* camera, const std::string& line);

}  // namespace krv_sim

#endif  // KRV_SIM_CONTROL_COMMANDS_H_
