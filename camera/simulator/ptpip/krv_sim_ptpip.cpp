// krv-sim-ptpip: the simulated camera as a PTP/IP camera, for PTP/IP hosts
// such as libgphoto2 on loopback.
//
//   krv-sim-ptpip [--address A] [--port N] [--event-port N] [--control PATH]
//                 [--serial S] [--log]
//
// When ready it prints one line on stdout, "ptpip ADDRESS COMMANDPORT
// EVENTPORT", and serves until SIGINT or SIGTERM. Exit status 2 for bad
// options, 1 when it cannot listen.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "camera/simulator/control_commands.h"
#include "camera/simulator/control_server.h"
#include "camera/simulator/ptpip/ptpip_camera.h"
#include "camera/simulator/ptpip/ptpip_server.h"
#include "camera/simulator/sim_config.h"
#include "camera/simulator/sim_log.h"

namespace {

struct Options {
  krv_sim::PtpipServerOptions server;
  std::string control;
  std::string serial = "KRVSIM0001";
  bool log = false;
};

bool Port(const char* text, int lo, int* port) {
  int64_t v;
  if (!krv_sim::ParseInt64(text, &v) || v < lo || v > 65535) return false;
  *port = static_cast<int>(v);
  return true;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--log") {
      o->log = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (arg == "--address") o->server.address = value;
    else if (arg == "--port") { if (!Port(value, 0, &o->server.commandPort)) return false; }
    else if (arg == "--event-port") { if (!Port(value, 0, &o->server.eventPort)) return false; }
    else if (arg == "--control") o->control = value;
    else if (arg == "--serial") o->serial = value;
    else return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: krv-sim-ptpip [--address IPV4] [--port N] [--event-port N] "
                 "[--control PATH] [--serial S] [--log]\n"
                 "  --port 0 / --event-port 0 take any free port; without --event-port the\n"
                 "  event connection is accepted on the command port\n");
    return 2;
  }
  krv_sim::SetLogEnabled(options.log);
  // Signals are taken by sigwait below, not by a handler.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  krv_sim::PtpipCamera camera(options.serial);
  krv_sim::PtpipServer server(&camera, options.server);
  camera.setWake([&server] { server.wake(); });
  std::string error;
  if (!server.start(&error)) {
    std::fprintf(stderr, "krv-sim-ptpip: %s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<krv_sim::ControlServer> control;
  if (!options.control.empty()) {
    control = std::make_unique<krv_sim::ControlServer>(
        options.control, [&camera](const std::string& line) {
          return krv_sim::ExecuteControlCommand(&camera, line);
        });
    if (!control->start(&error)) {
      std::fprintf(stderr, "krv-sim-ptpip: control socket %s: %s\n", options.control.c_str(),
                   error.c_str());
      return 1;
    }
  }
  std::printf("ptpip %s %d %d\n", options.server.address.c_str(), server.commandPort(),
              server.eventPort());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&signals, &signal);
  if (control) control->stop();
  server.stop();
  return 0;
}
