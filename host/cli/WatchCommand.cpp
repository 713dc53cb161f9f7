// watch: every message from the task as one line of JSON.
#include <cstdio>
#include <memory>

#include "host/saving/CaptureSaver.h"
#include "host/cli/CommandSupport.h"
#include "host/cli/Commands.h"
#include "host/client/JsonRender.h"
#include "host/saving/OutputFiles.h"
#include "source/ProtocolNames.h"

namespace tether_host {

namespace {

// Tells what happened to each file that watch moves, on stderr.
class SaveReporter : public TetherObserver {
 public:
  void fileSaved(const FileSaved& file) override { Say("saved " + file.path); }
  void saveFailed(const SaveFailed& failure) override {
    Say("not saved: capture " + std::to_string(failure.captureId) + ": " + failure.message);
    mFailed = true;
  }
  bool failed() const { return mFailed; }

 private:
  bool mFailed = false;
};

DataRenderer SaveDataTo(const std::string& dir, const HostMessage& message, const long& sequence) {
  return [&dir, &message, &sequence](const ZyLuaTEData& data, const std::string& key) {
    const size_t size = static_cast<size_t>(std::max(0, data.mLength));
    const auto* bytes = static_cast<const unsigned char*>(data.mBytes);
    const bool jpeg = size >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
    const std::string base = std::to_string(sequence) + "-" +
                             CaptureBaseName(message.name + (key.empty() ? "" : "-" + key), 0);
    std::string path, error;
    if (!WriteUniqueFile(dir, base, jpeg ? ".jpg" : ".bin", 0, bytes, size, &path, &error)) {
      Say(error);
      path.clear();
    }
    return DataSummaryJson(bytes, size, path);
  };
}

// Reads until the task ends; the exit code.
int Pump(RunningTask* running, StopSignals* stop, CaptureSaver* saver, const WatchArgs& args) {
  TaskProcess* task = running->task.get();
  long sequence = 0;
  HostMessage message;
  const DataRenderer saveData =
      args.saveDataDir.empty() ? DataRenderer() : SaveDataTo(args.saveDataDir, message, sequence);
  bool stopping = false;
  for (;;) {
    switch (task->read(&message, stopping ? kTaskShutdownWaitMs : -1, stop->fd())) {
      case TaskProcess::ReadStatus::kMessage:
        ++sequence;
        std::printf("%s\n", JsonMessage(message, saveData).c_str());
        if (saver != nullptr) saver->handle(message);
        if (std::fflush(stdout) != 0) {
          // Whoever read our output has gone (`watch | head`): stop in order.
          Say("standard output is closed; shutting the task down");
          return ShutDown(task, stop).success() ? kExitOk : kExitTaskDied;
        }
        continue;
      case TaskProcess::ReadStatus::kLogNews:
        continue;
      case TaskProcess::ReadStatus::kInterrupted:
        stop->drain();
        if (stopping) {
          Say("stopping the task now");
          Say("task " + task->terminate().describe());
          return kExitInterrupted;
        }
        stopping = true;
        Say("sending \"shutdown\" (Ctrl-C again to stop the task at once)");
        if (task->send(tether::proto::kShutdown, nullptr) < 0) task->closeInput();
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
  if (!stopping) return ReportUnexpectedExit(task);
  if (!task->waitForExit(kTaskShutdownWaitMs)) task->terminate();
  Say("task " + task->exitStatus().describe());
  return task->exitStatus().success() ? kExitOk : kExitTaskDied;
}

}  // namespace

int runWatch(const TaskLaunch& launch, const WatchArgs& args) {
  std::string error;
  for (const std::string& dir : {args.saveDataDir, args.outDir}) {
    if (!dir.empty() && !MakeDirectories(dir, &error)) {
      Say(error);
      return kExitUsage;
    }
  }
  StopSignals stop;
  RunningTask running;
  if (const int code = StartTask(launch, &running)) return code;
  SaveReporter reporter;
  std::unique_ptr<CaptureSaver> saver;
  if (!args.outDir.empty()) {
    saver.reset(new CaptureSaver({args.outDir, FilenamePattern(), running.task->tempDir()}, &reporter));
    running.log->onRefusedSave(
        [&saver](FileKind kind, const std::string& why) { saver->taskRefusedSave(kind, why); });
  } else {
    Say("the task's files stay in " + running.task->tempDir() + " (kept when not empty)");
  }
  int code = Pump(&running, &stop, saver.get(), args);
  if (saver) {
    running.task->waitForExit(-1);
    SayLeftovers(running.task->removeTempDir());
    if (code == kExitOk && reporter.failed()) code = kExitCaptureFailed;
  }
  return code;
}

}  // namespace tether_host
