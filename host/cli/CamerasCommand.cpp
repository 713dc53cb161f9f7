// tether-host cameras: runs tether-cameras (built with the libgphoto2
// bridge, beside the task) and shows what it lists, so that tether-host
// itself never loads libgphoto2. Its output is camera text: bounded in
// size and time, and made safe for the terminal line by line.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

#include "host/cli/CommandSupport.h"
#include "host/cli/Commands.h"
#include "host/client/TerminalText.h"

namespace tether_host {
namespace {

constexpr size_t kMaxOutput = 64 * 1024;
constexpr int kTimeoutMs = 20000;  // detection probes every USB port once

// The helper's standard output, or false with the reason.
bool RunHelper(const std::string& path, std::string* out, std::string* error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *error = "cannot make a pipe";
    return false;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    signal(SIGPIPE, SIG_DFL);
    execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    *error = "cannot start " + path;
    return false;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
  bool timedOut = false;
  for (char buf[4096];;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    pollfd p = {fds[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0) {
      timedOut = true;
      break;
    }
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (out->size() < kMaxOutput) out->append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut) *error = path + " found nothing within " + std::to_string(kTimeoutMs / 1000) + " s";
  else if (WIFEXITED(status) && WEXITSTATUS(status) == 127) *error = "cannot run " + path;
  else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) *error = path + " failed";
  return error->empty();
}

}  // namespace

int runCameras(const TaskLaunch& launch) {
  const std::string task = launch.taskPath.empty() ? DefaultTaskPath() : launch.taskPath;
  const size_t slash = task.find_last_of('/');
  const std::string helper = (slash == std::string::npos ? "." : task.substr(0, slash)) + "/tether-cameras";
  std::string out, error;
  if (!RunHelper(helper, &out, &error)) {
    Say(error);
    return kExitNoTask;
  }
  int cameras = 0;
  for (size_t from = 0; from < out.size();) {
    size_t end = out.find('\n', from);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(from, end - from);
    from = end + 1;
    const size_t tab = line.find('\t');
    if (line.empty() || tab == std::string::npos) continue;
    std::printf("%s  %s\n", SafeForTerminal(line.substr(0, tab)).c_str(),
                SafeForTerminal(line.substr(tab + 1)).c_str());
    ++cameras;
  }
  if (cameras == 0) std::printf("no camera detected\n");
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace tether_host
