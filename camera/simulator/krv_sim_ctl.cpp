// krv-sim-ctl: sends one command to a running simulated camera SDK and
// prints the reply.
//
//   krv-sim-ctl [--socket PATH] COMMAND [ARGS...]
//
// The socket defaults to $KRV_SIM_CONTROL. Exit status: 0 for an "ok" reply,
// 1 for an "error" reply, 2 when the socket cannot be reached or misused.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "camera/simulator/control_client.h"

namespace {

constexpr char kUsage[] =
    "usage: krv-sim-ctl [--socket PATH] COMMAND [ARGS...]\n"
    "(the socket defaults to $KRV_SIM_CONTROL; try the command \"help\")\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::string path;
  if (const char* env = std::getenv("KRV_SIM_CONTROL")) path = env;
  int i = 1;
  if (i + 1 < argc && std::strcmp(argv[i], "--socket") == 0) {
    path = argv[i + 1];
    i += 2;
  }
  if (i >= argc || path.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string line;
  for (; i < argc; ++i) {
    if (!line.empty()) line += ' ';
    line += argv[i];
  }
  krv_sim::ControlClient client;
  std::string error;
  if (!client.connect(path, &error)) {
    std::fprintf(stderr, "krv-sim-ctl: %s\n", error.c_str());
    return 2;
  }
  const std::string reply = client.command(line);
  std::printf("%s\n", reply.c_str());
  if (krv_sim::ControlClient::isOk(reply)) return 0;
  return reply.rfind("error io:", 0) == 0 ? 2 : 1;
}
