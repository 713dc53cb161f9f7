// `tether-host serve`: the tethered session of `tether` (same saving rules,
// same terminal lines and summary) with its live page beside it. The first
// line on stdout is the page's URL, its token in the fragment.
#ifndef TETHER_HOST_WEB_SERVE_COMMAND_H_
#define TETHER_HOST_WEB_SERVE_COMMAND_H_

#include "host/cli/Commands.h"
#include "host/web/LiveServer.h"

namespace tether_host {

struct ServeArgs {
  TetherArgs tether;
  LiveServer::Options server;
};

// tether-host's exit code, as for `tether`; kExitUsage also when the page
// cannot be served at the address given.
int runServe(const ServeArgs& args);

}  // namespace tether_host

#endif  // TETHER_HOST_WEB_SERVE_COMMAND_H_
