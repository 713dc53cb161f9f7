// capture and settings: one session over one task each.
#include <cstdio>

#include "host/cli/CommandSupport.h"
#include "host/cli/Commands.h"
#include "host/saving/OutputFiles.h"

namespace tether_host {

namespace {

int ConcludeOutcome(const CaptureResult& result, int arriving, TaskProcess* task, StopSignals* stop,
                    const std::function<void(const HostMessage&)>& late);

// The exit code for how the flow ended; the task is shut down on the way,
// the files it still delivers saved, and `result` brought up to date.
int Conclude(CaptureResult* result, CaptureSession* session, RunningTask* running,
             StopSignals* stop) {
  TaskProcess* task = running->task.get();
  const auto late = [session](const HostMessage& m) { session->handleLate(m); };
  const int code = ConcludeOutcome(*result, session->pictureArriving(), task, stop, late);
  session->collect(result);
  return code;
}

int ConcludeOutcome(const CaptureResult& result, int arriving, TaskProcess* task, StopSignals* stop,
                    const std::function<void(const HostMessage&)>& late) {
  switch (result.outcome) {
    case CaptureResult::Outcome::kOk:
      break;
    case CaptureResult::Outcome::kTaskEnded:
    case CaptureResult::Outcome::kSendFailed:
      return ReportUnexpectedExit(task);
    case CaptureResult::Outcome::kBadFrame:
      Say(result.message);
      // Its output can no longer be trusted: end it now, not after the wait
      // for its exit that every ending shares (it would wait for input).
      task->terminate();
      return kExitBadFrame;
    case CaptureResult::Outcome::kInterrupted:
      stop->drain();
      Say(arriving > 0 ? "finishing picture " + std::to_string(arriving) +
                             "... (Ctrl-C again to stop now)"
                       : std::string("interrupted; shutting the task down"));
      Say("task " + ShutDown(task, stop, late).describe());
      return kExitInterrupted;
    case CaptureResult::Outcome::kNoCamera:
    case CaptureResult::Outcome::kTimeout:
    case CaptureResult::Outcome::kSaveFailed:
      Say(result.message);
      ShutDown(task, stop, late);
      return result.outcome == CaptureResult::Outcome::kNoCamera ? kExitNoCamera
                                                                  : kExitCaptureFailed;
  }
  const ExitStatus status = ShutDown(task, stop, late);
  if (!status.success()) Say("task " + status.describe() + " after \"shutdown\"");
  if (!result.problems.empty() || !result.failures.empty() || !result.incomplete.empty()) {
    return kExitCaptureFailed;
  }
  return status.success() ? kExitOk : kExitTaskDied;
}

// What every ending shares: files left behind, and the task's log on failure.
int Finish(int code, RunningTask* running) {
  if (!running->task->hasExited()) running->task->waitForExit(-1);
  SayLeftovers(running->task->removeTempDir());
  if (code != kExitOk && code != kExitInterrupted) {
    SayLogTail(running->log->path(), running->log->tail());
  }
  return code;
}

}  // namespace

int runCapture(const TaskLaunch& launch, const CaptureOptions& options) {
  std::string error;
  if (!MakeDirectories(options.outDir, &error)) {
    Say(error);
    return kExitUsage;
  }
  StopSignals stop;
  RunningTask running;
  if (const int code = StartTask(launch, &running)) return code;
  CaptureOptions withStop = options;
  withStop.wakeFd = stop.fd();
  Say("waiting for a camera");
  CaptureSession session(running.task.get(), withStop, Say);
  running.log->onRefusedSave(
      [&session](FileKind kind, const std::string& why) { session.taskRefusedSave(kind, why); });
  CaptureResult result = session.run();
  int code = Conclude(&result, &session, &running, &stop);
  if (code == kExitOk && (!result.failures.empty() || !result.incomplete.empty())) {
    code = kExitCaptureFailed;  // something went wrong while the task shut down
  }
  PrintSummary(options.outDir, result.files, result.failures, result.incomplete);
  if (result.outcome == CaptureResult::Outcome::kOk) {
    PrintSettings(result.settings.get(), result.cameraName);
    if (!result.settings) Say("no reply to \"getCameraSettings\" (camera disconnected?)");
  }
  std::fflush(stdout);
  for (const std::string& problem : result.problems) Say(problem);
  return Finish(code, &running);
}

int runSettings(const TaskLaunch& launch, int cameraTimeoutMs) {
  StopSignals stop;
  RunningTask running;
  if (const int code = StartTask(launch, &running)) return code;
  CaptureOptions options;
  options.count = 0;
  options.cameraTimeoutMs = cameraTimeoutMs;
  options.settingsTimeoutMs = 3000;
  options.wakeFd = stop.fd();
  CaptureSession session(running.task.get(), options, nullptr);
  CaptureResult result = session.readSettings();
  if (result.outcome == CaptureResult::Outcome::kOk && !result.settings) {
    Say("no camera is connected");
    ShutDown(running.task.get(), &stop);
    return Finish(kExitNoCamera, &running);
  }
  if (result.settings) {
    PrintSettings(result.settings.get(), result.cameraName);
    std::fflush(stdout);
  }
  return Finish(Conclude(&result, &session, &running, &stop), &running);
}

}  // namespace tether_host
