// The control socket's command language (one line in, one line out). The
// commands are listed in README.md; "help" lists them too.
#ifndef KRV_SIM_CONTROL_COMMANDS_H_
#define KRV_SIM_CONTROL_COMMANDS_H_

#include <string>

namespace krv_sim {

class Simulator;

// Executes `line` against `sim` and returns "ok ..." or "error ...". Commands
// that make the camera call back return only after the worker has delivered
// those callbacks, so a client sees their effects once it has the reply.
std::string ExecuteControlCommand(Simulator* sim, const std::string& line);

}  // namespace krv_sim

#endif  // KRV_SIM_CONTROL_COMMANDS_H_
