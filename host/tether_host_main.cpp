// tether-host: starts the tether task and talks to it from the command line.
// Progress and errors go to stderr; results (watch's JSON, capture's table,
// the settings) go to stdout.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "host/CameraSettings.h"
#include "host/CaptureSession.h"
#include "host/JsonRender.h"
#include "host/OutputFiles.h"
#include "host/TaskProcess.h"

namespace tether_host {
namespace {

const char kUsage[] =
    "usage: tether-host [--task PATH] [--task-log FILE] COMMAND [OPTIONS]\n"
    "\n"
    "Starts the camera tether task as a child process and talks to it over\n"
    "the task's standard input and output.\n"
    "\n"
    "commands:\n"
    "  watch [--save-data DIR]\n"
    "      Print every message from the task as one line of JSON on stdout,\n"
    "      until the task ends or Ctrl-C (which sends \"shutdown\" and waits for\n"
    "      the task; a second Ctrl-C ends it at once). Data values print as\n"
    "      {\"size\":N,\"sha256\":\"...\"}; with --save-data each is also written\n"
    "      to a new file in DIR, whose path is added as \"path\".\n"
    "  capture [-n N] [--out DIR] [--timeout SECONDS] [--quiet SECONDS]\n"
    "      Wait for a camera, take N pictures (default 1) and move each image\n"
    "      file into DIR (default .) under the name the camera gave, with its\n"
    "      thumbnail beside it as NAME.thumb.jpg; an existing file is never\n"
    "      replaced (NAME-1.jpg, NAME-2.jpg, ... instead). Then print what was\n"
    "      saved, with sizes checked against the camera's report, and the\n"
    "      settings in force. --timeout bounds the wait for the camera and for\n"
    "      each capture (default 30); a capture with its thumbnail and a file\n"
    "      but not both DNG and JPEG is complete after --quiet seconds without\n"
    "      news of it (default 2).\n"
    "  settings [--timeout SECONDS]\n"
    "      Wait up to SECONDS (default 5) for a camera and print its ISO,\n"
    "      aperture, shutter time and white balance.\n"
    "\n"
    "options:\n"
    "  --task PATH      the task executable (default: tether-task beside\n"
    "                   tether-host)\n"
    "  --task-log FILE  append the task's log to FILE instead of sharing stderr\n"
    "  -h, --help       print this text\n"
    "\n"
    "exit status: 0 done; 1 usage error; 2 the task cannot be started; 3 the\n"
    "task exited unexpectedly; 4 no camera; 5 a frame from the task does not\n"
    "parse; 6 a capture is incomplete or a file could not be saved; 130\n"
    "interrupted.\n";

enum ExitCode {
  kExitOk = 0,
  kExitUsage = 1,
  kExitNoTask = 2,
  kExitTaskDied = 3,
  kExitNoCamera = 4,
  kExitBadFrame = 5,
  kExitCaptureFailed = 6,
  kExitInterrupted = 130,
};

// The task's stop sequence drains for up to 2 x 5 s; allow a little more.
constexpr int kShutdownWaitMs = 15000;

void Say(const std::string& line) { std::fprintf(stderr, "tether-host: %s\n", line.c_str()); }

int UsageError(const std::string& why) {
  Say(why);
  std::fprintf(stderr, "Run 'tether-host --help' for usage.\n");
  return kExitUsage;
}

std::string DefaultTaskPath() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "tether-task";
  std::string self(buf, static_cast<size_t>(n));
  return self.substr(0, self.find_last_of('/') + 1) + "tether-task";
}

bool ParseSeconds(const std::string& text, int* ms) {
  char* end = nullptr;
  errno = 0;
  const double s = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || *end != '\0' || !(s > 0) || s > 86400) return false;
  *ms = static_cast<int>(s * 1000 + 0.5);
  return *ms > 0;
}

bool ParseCount(const std::string& text, int* count) {
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || n < 1 || n > 100000) return false;
  *count = static_cast<int>(n);
  return true;
}

bool EnsureDirectory(const std::string& dir) {
  if (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  }
  Say("cannot use directory " + dir + ": " + (errno ? strerror(errno) : "not a directory"));
  return false;
}

// SIGINT and SIGTERM arrive through a descriptor that every wait polls, so
// a stop request is handled in order instead of in a signal handler. The
// task is started with an empty signal mask and does not inherit the block.
class StopSignals {
 public:
  StopSignals() {
    sigemptyset(&mSet);
    sigaddset(&mSet, SIGINT);
    sigaddset(&mSet, SIGTERM);
    sigprocmask(SIG_BLOCK, &mSet, nullptr);
    mFd = signalfd(-1, &mSet, SFD_CLOEXEC | SFD_NONBLOCK);
  }
  ~StopSignals() {
    if (mFd >= 0) close(mFd);
  }
  int fd() const { return mFd; }
  void drain() {
    struct signalfd_siginfo info;
    while (read(mFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
  }

 private:
  sigset_t mSet;
  int mFd = -1;
};

struct Global {
  std::string taskPath;
  std::string taskLog;
};

std::unique_ptr<TaskProcess> StartTask(const Global& global) {
  TaskProcess::Options options;
  options.path = global.taskPath;
  options.stderrPath = global.taskLog;
  std::string error;
  std::unique_ptr<TaskProcess> task = TaskProcess::start(options, &error);
  if (!task) Say(error);
  return task;
}

// Asks the task to stop and waits for it, reading (and dropping) what it
// still sends. A second stop request, or a task that does not end in time,
// gets it terminated. Returns how the task ended.
ExitStatus ShutDown(TaskProcess* task, StopSignals* stop) {
  if (task->send("shutdown", nullptr) < 0) task->closeInput();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kShutdownWaitMs);
  const auto left = [&] {
    return static_cast<int>(std::max<int64_t>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(
               deadline - std::chrono::steady_clock::now())
               .count()));
  };
  HostMessage message;
  for (;;) {
    const auto status = task->read(&message, left(), stop->fd());
    if (status == TaskProcess::ReadStatus::kMessage) continue;
    if (status == TaskProcess::ReadStatus::kInterrupted) {
      stop->drain();
      Say("stopping the task now");
      return task->terminate();
    }
    break;  // end of output, timeout or garbage: only the exit matters now
  }
  if (task->waitForExit(left())) return task->exitStatus();
  Say("the task did not exit after \"shutdown\"; terminating it");
  return task->terminate();
}

// The exit of a task that we did not ask to stop.
int ReportUnexpectedExit(TaskProcess* task) {
  if (!task->waitForExit(5000)) {
    Say("the task closed its output but did not exit; terminating it");
    task->terminate();
  }
  Say("task exited unexpectedly (" + task->exitStatus().describe() + ")");
  return kExitTaskDied;
}

void PrintSettings(ZyLuaTE* settings, const std::string& camera) {
  std::printf("Settings in force%s:\n", camera.empty() ? "" : (" (" + camera + ")").c_str());
  for (const auto& [label, value] : DescribeSettings(settings)) {
    std::printf("  %-14s %s\n", label.c_str(), value.c_str());
  }
}

// ---- watch ----

int Watch(const Global& global, const std::vector<std::string>& args) {
  std::string saveDir;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--save-data" && i + 1 < args.size()) {
      saveDir = args[++i];
    } else {
      return UsageError("watch: unexpected argument '" + args[i] + "'");
    }
  }
  if (!saveDir.empty() && !EnsureDirectory(saveDir)) return kExitUsage;

  StopSignals stop;
  std::unique_ptr<TaskProcess> task = StartTask(global);
  if (!task) return kExitNoTask;

  long sequence = 0;
  HostMessage message;
  DataRenderer saveData;
  if (!saveDir.empty()) {
    saveData = [&](const ZyLuaTEData& data, const std::string& key) {
      const size_t size = static_cast<size_t>(std::max(0, data.mLength));
      const auto* bytes = static_cast<const unsigned char*>(data.mBytes);
      const bool jpeg = size >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
      const std::string base = std::to_string(sequence) + "-" +
                               CaptureBaseName(message.name + (key.empty() ? "" : "-" + key), 0);
      std::string path, error;
      if (!WriteUniqueFile(saveDir, base, jpeg ? ".jpg" : ".bin", 0, bytes, size, &path, &error)) {
        Say(error);
        path.clear();
      }
      return DataSummaryJson(bytes, size, path);
    };
  }

  bool stopping = false;
  for (;;) {
    const auto status = task->read(&message, stopping ? kShutdownWaitMs : -1, stop.fd());
    switch (status) {
      case TaskProcess::ReadStatus::kMessage:
        ++sequence;
        std::printf("%s\n", JsonMessage(message, saveData).c_str());
        if (std::fflush(stdout) != 0) {
          // Whoever read our output has gone (`watch | head`): stop in order.
          Say("standard output is closed; shutting the task down");
          const ExitStatus exit = ShutDown(task.get(), &stop);
          return exit.success() ? kExitOk : kExitTaskDied;
        }
        continue;
      case TaskProcess::ReadStatus::kInterrupted:
        stop.drain();
        if (stopping) {
          Say("stopping the task now");
          task->terminate();
          Say("task " + task->exitStatus().describe());
          return kExitInterrupted;
        }
        stopping = true;
        Say("sending \"shutdown\" (Ctrl-C again to stop the task at once)");
        if (task->send("shutdown", nullptr) < 0) task->closeInput();
        continue;
      case TaskProcess::ReadStatus::kTimeout:
        Say("the task did not exit after \"shutdown\"; terminating it");
        task->terminate();
        return kExitTaskDied;
      case TaskProcess::ReadStatus::kBadFrame:
        Say("bad frame from the task: " + task->error());
        return kExitBadFrame;
      case TaskProcess::ReadStatus::kEndOfOutput:
        break;
    }
    break;
  }
  if (!stopping) return ReportUnexpectedExit(task.get());
  if (!task->waitForExit(kShutdownWaitMs)) task->terminate();
  Say("task " + task->exitStatus().describe());
  return task->exitStatus().success() ? kExitOk : kExitTaskDied;
}

// ---- capture ----

int Capture(const Global& global, const std::vector<std::string>& args) {
  CaptureOptions options;
  options.cameraTimeoutMs = options.captureTimeoutMs = 30000;
  for (size_t i = 0; i < args.size(); ++i) {
    const bool hasValue = i + 1 < args.size();
    if (args[i] == "-n" && hasValue) {
      if (!ParseCount(args[++i], &options.count)) return UsageError("capture: bad count " + args[i]);
    } else if (args[i] == "--out" && hasValue) {
      options.outDir = args[++i];
    } else if (args[i] == "--timeout" && hasValue) {
      if (!ParseSeconds(args[++i], &options.captureTimeoutMs)) {
        return UsageError("capture: bad timeout " + args[i]);
      }
      options.cameraTimeoutMs = options.captureTimeoutMs;
    } else if (args[i] == "--quiet" && hasValue) {
      if (!ParseSeconds(args[++i], &options.quietMs)) {
        return UsageError("capture: bad quiet period " + args[i]);
      }
    } else {
      return UsageError("capture: unexpected argument '" + args[i] + "'");
    }
  }
  if (!EnsureDirectory(options.outDir)) return kExitUsage;

  StopSignals stop;
  options.wakeFd = stop.fd();
  std::unique_ptr<TaskProcess> task = StartTask(global);
  if (!task) return kExitNoTask;
  Say("waiting for a camera");
  CaptureSession session(task.get(), options, Say);
  CaptureResult result = session.run();

  if (!result.files.empty()) {
    std::printf("Saved %zu file%s in %s:\n", result.files.size(),
                result.files.size() == 1 ? "" : "s", options.outDir.c_str());
    std::printf("  %-7s  %-9s  %12s  %-8s  %s\n", "capture", "kind", "bytes", "check", "file");
    for (const SavedFile& f : result.files) {
      const std::string check = f.reportedSize < 0 ? "-" : f.sizeMatches() ? "ok" : "MISMATCH";
      std::printf("  %-7d  %-9s  %12lld  %-8s  %s\n", f.captureId, f.kind.c_str(),
                  static_cast<long long>(f.size), check.c_str(), f.path.c_str());
    }
  }
  if (result.outcome == CaptureResult::Outcome::kOk) {
    PrintSettings(result.settings.get(), result.cameraName);
    if (!result.settings) Say("no reply to \"getCameraSettings\" (camera disconnected?)");
  }
  std::fflush(stdout);
  for (const std::string& problem : result.problems) Say(problem);

  switch (result.outcome) {
    case CaptureResult::Outcome::kOk:
      break;
    case CaptureResult::Outcome::kTaskEnded:
    case CaptureResult::Outcome::kSendFailed:
      return ReportUnexpectedExit(task.get());
    case CaptureResult::Outcome::kBadFrame:
      Say(result.message);
      return kExitBadFrame;  // the task's destructor ends it
    case CaptureResult::Outcome::kInterrupted:
      stop.drain();
      Say("interrupted; shutting the task down");
      Say("task " + ShutDown(task.get(), &stop).describe());
      return kExitInterrupted;
    case CaptureResult::Outcome::kNoCamera:
    case CaptureResult::Outcome::kTimeout:
      Say(result.message);
      ShutDown(task.get(), &stop);
      return result.outcome == CaptureResult::Outcome::kNoCamera ? kExitNoCamera
                                                                  : kExitCaptureFailed;
  }
  const ExitStatus status = ShutDown(task.get(), &stop);
  if (!status.success()) Say("task " + status.describe() + " after \"shutdown\"");
  if (!result.problems.empty()) return kExitCaptureFailed;
  return status.success() ? kExitOk : kExitTaskDied;
}

// ---- settings ----

int Settings(const Global& global, const std::vector<std::string>& args) {
  int cameraTimeoutMs = 5000;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--timeout" && i + 1 < args.size()) {
      if (!ParseSeconds(args[++i], &cameraTimeoutMs)) {
        return UsageError("settings: bad timeout " + args[i]);
      }
    } else {
      return UsageError("settings: unexpected argument '" + args[i] + "'");
    }
  }
  StopSignals stop;
  std::unique_ptr<TaskProcess> task = StartTask(global);
  if (!task) return kExitNoTask;

  using Clock = std::chrono::steady_clock;
  const auto msUntil = [](Clock::time_point t) {
    return static_cast<int>(std::max<int64_t>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count()));
  };
  std::string camera;
  bool cameraSeen = false;
  int32_t request = -1;
  // Without a "deviceAdded" we still ask once, briefly: nothing is lost by
  // it, and the reply is the one authority on whether a camera is there.
  auto deadline = Clock::now() + std::chrono::milliseconds(cameraTimeoutMs);
  HostMessage message;
  for (;;) {
    if (request < 0 && (cameraSeen || msUntil(deadline) == 0)) {
      request = task->send("getCameraSettings", nullptr);
      if (request < 0) return ReportUnexpectedExit(task.get());
      deadline = Clock::now() + std::chrono::milliseconds(cameraSeen ? 3000 : 1000);
    }
    const auto status = task->read(&message, msUntil(deadline), stop.fd());
    if (status == TaskProcess::ReadStatus::kMessage) {
      if (message.name == "deviceAdded") {
        cameraSeen = true;
        camera = message.string("name").value_or("");
      } else if (message.name == "deviceRemoved") {
        cameraSeen = false;
      } else if (message.name == "ok" && message.id == request) {
        PrintSettings(message.payload.get(), camera);
        std::fflush(stdout);
        const ExitStatus exit = ShutDown(task.get(), &stop);
        if (!exit.success()) Say("task " + exit.describe() + " after \"shutdown\"");
        return exit.success() ? kExitOk : kExitTaskDied;
      }
      continue;
    }
    if (status == TaskProcess::ReadStatus::kTimeout) {
      if (request < 0) continue;  // the camera wait is over: ask now
      Say("no camera is connected");
      ShutDown(task.get(), &stop);
      return kExitNoCamera;
    }
    if (status == TaskProcess::ReadStatus::kInterrupted) {
      stop.drain();
      Say("interrupted; shutting the task down");
      ShutDown(task.get(), &stop);
      return kExitInterrupted;
    }
    if (status == TaskProcess::ReadStatus::kBadFrame) {
      Say("bad frame from the task: " + task->error());
      return kExitBadFrame;
    }
    return ReportUnexpectedExit(task.get());
  }
}

int Main(int argc, char** argv) {
  // A closed stdout shows as a failed write; the task is started with
  // SIGPIPE back at its default.
  signal(SIGPIPE, SIG_IGN);
  Global global;
  std::string command;
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if ((arg == "--task" || arg == "--task-log") && i + 1 < argc) {
      (arg == "--task" ? global.taskPath : global.taskLog) = argv[++i];
    } else if (command.empty() && arg[0] != '-') {
      command = arg;
    } else if (command.empty()) {
      return UsageError("unknown option '" + arg + "'");
    } else {
      rest.push_back(arg);
    }
  }
  if (global.taskPath.empty()) global.taskPath = DefaultTaskPath();
  if (command == "watch") return Watch(global, rest);
  if (command == "capture") return Capture(global, rest);
  if (command == "settings") return Settings(global, rest);
  if (command.empty()) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  return UsageError("unknown command '" + command + "'");
}

}  // namespace
}  // namespace tether_host

int main(int argc, char** argv) { return tether_host::Main(argc, argv); }
