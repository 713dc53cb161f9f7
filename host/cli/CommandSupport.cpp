#include "host/cli/CommandSupport.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>

#include "host/client/CameraSettings.h"
#include "host/client/Deadline.h"
#include "host/client/TerminalText.h"
#include "host/saving/OutputFiles.h"
#include "source/ProtocolNames.h"

namespace tether_host {

namespace proto = tether::proto;

const char kExitCodeHelp[] =
    "exit status: 0 done; 1 usage error, an --out that cannot be written or a --task-log\n"
    "that cannot be opened; 2 the task cannot be started; 3 the task exited unexpectedly;\n"
    "4 no camera; 5 a frame from the task does not parse; 6 a capture is incomplete or a\n"
    "file could not be saved; 130 interrupted.";

void Say(const std::string& line) {
  std::fprintf(stderr, "tether-host: %s\n", SafeForTerminal(line).c_str());
}

bool PrepareOutputFolder(const std::string& dir) {
  std::string error;
  if (!MakeDirectories(dir, &error)) {
    Say(error);
    return false;
  }
  // Relative to the opened folder, as the pictures will be placed: a folder
  // whose full path is near PATH_MAX still takes them.
  const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int fd = -1;
  std::string probe;
  for (int attempt = 0; dirFd >= 0 && fd < 0 && attempt < 100; ++attempt) {
    probe = ".tether-host-probe-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
    fd = openat(dirFd, probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    Say("cannot write into " + dir + ": " + strerror(errno));
    if (dirFd >= 0) close(dirFd);
    return false;
  }
  close(fd);
  unlinkat(dirFd, probe.c_str(), 0);
  close(dirFd);
  return true;
}

StopSignals::StopSignals() {
  sigemptyset(&mSet);
  sigaddset(&mSet, SIGINT);
  sigaddset(&mSet, SIGTERM);
  sigaddset(&mSet, SIGHUP);
  sigaddset(&mSet, SIGQUIT);
  pthread_sigmask(SIG_BLOCK, &mSet, nullptr);
  mFd = signalfd(-1, &mSet, SFD_CLOEXEC | SFD_NONBLOCK);
}

StopSignals::~StopSignals() {
  if (mFd >= 0) close(mFd);
}

void StopSignals::drain() {
  struct signalfd_siginfo info;
  while (read(mFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
  }
}

int StartTask(const TaskLaunch& launch, RunningTask* running) {
  std::string error, notice;
  running->log = TaskLog::openFor(launch, &notice, &error);
  if (!running->log) {
    Say(error);
    return kExitUsage;
  }
  if (!notice.empty()) Say(notice);
  TaskProcess::Options options;
  options.path = launch.taskPath.empty() ? DefaultTaskPath() : launch.taskPath;
  options.environment = launch.environment;
  TaskLog* log = running->log.get();
  options.logLine = [log](const std::string& line) { log->line(line); };
  running->task = TaskProcess::start(options, &error);
  if (!running->task) {
    Say(error);
    return kExitNoTask;
  }
  return kExitOk;
}

ExitStatus ShutDown(TaskProcess* task, StopSignals* stop,
                    const std::function<void(const HostMessage&)>& late) {
  if (task->send(proto::kShutdown, nullptr) < 0) task->closeInput();
  const Deadline deadline = Deadline::in(kTaskShutdownWaitMs);
  HostMessage message;
  for (;;) {
    const auto status = task->read(&message, deadline.msLeft(), stop->fd());
    if (status == TaskProcess::ReadStatus::kMessage && late) late(message);
    if (status == TaskProcess::ReadStatus::kMessage) continue;
    if (status == TaskProcess::ReadStatus::kLogNews) continue;
    if (status == TaskProcess::ReadStatus::kInterrupted) {
      stop->drain();
      Say("stopping the task now; what the camera had not delivered stays in " + task->tempDir());
      return task->terminate();
    }
    break;  // end of output, timeout or garbage: only the exit matters now
  }
  if (task->waitForExit(deadline.msLeft())) return task->exitStatus();
  Say("the task did not exit after \"shutdown\"; terminating it");
  return task->terminate();
}

int ReportUnexpectedExit(TaskProcess* task) {
  if (!task->waitForExit(5000)) {
    Say("the task closed its output but did not exit; terminating it");
    task->terminate();
  }
  Say("task exited unexpectedly (" + task->exitStatus().describe() + ")");
  return kExitTaskDied;
}

void PrintSettings(ZyLuaTE* settings, const std::string& camera) {
  std::printf("Settings in force%s:\n",
              camera.empty() ? "" : (" (" + SafeForTerminal(camera) + ")").c_str());
  for (const auto& [label, value] : DescribeSettings(settings)) {
    std::printf("  %-14s %s\n", label.c_str(), SafeForTerminal(value).c_str());
  }
}

void PrintSummary(const std::string& outDir, const std::vector<SavedFile>& files,
                  const std::vector<SaveFailed>& failures,
                  const std::vector<IncompleteCapture>& incomplete) {
  if (!files.empty()) {
    std::printf("Saved %zu file%s in %s:\n", files.size(), files.size() == 1 ? "" : "s",
                SafeForTerminal(outDir).c_str());
    std::printf("  %-7s  %-9s  %12s  %-8s  %s\n", "capture", "kind", "bytes", "check", "file");
    for (const SavedFile& f : files) {
      const std::string check = f.reportedSize < 0 ? "-" : f.sizeMatches() ? "ok" : "MISMATCH";
      std::printf("  %-7d  %-9s  %12lld  %-8s  %s\n", f.captureId,
                  fileLabel(f.kind, f.path).c_str(), static_cast<long long>(f.size), check.c_str(), SafeForTerminal(f.path).c_str());
    }
  }
  for (const SaveFailed& f : failures) {
    std::printf("NOT SAVED: capture %d %s: %s\n", f.captureId, fileKindLabel(f.kind),
                SafeForTerminal(f.message).c_str());
  }
  for (const IncompleteCapture& c : incomplete) {
    std::printf("INCOMPLETE: capture %d: no %s arrived\n", c.captureId, c.missing.c_str());
  }
}

void SayLeftovers(const std::vector<std::string>& leftovers) {
  for (const std::string& path : leftovers) Say("left in the temporary folder: " + path);
}

void SayLogTail(const std::string& path, const std::vector<std::string>& tail) {
  if (tail.empty()) return;
  Say("the task's last log lines (all of them in " + path + "):");
  for (const std::string& line : tail) std::fprintf(stderr, "  %s\n", SafeForTerminal(line).c_str());
}

}  // namespace tether_host
