// What every tether-host command shares: exit codes, its own lines on
// stderr, Ctrl-C as a descriptor, starting the task with its log, shutting
// it down, and the summary that ends a capture or a tethered session.
#ifndef TETHER_HOST_COMMAND_SUPPORT_H_
#define TETHER_HOST_COMMAND_SUPPORT_H_

#include <signal.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/saving/CaptureSaver.h"
#include "host/client/TaskLaunch.h"
#include "host/session/TaskLog.h"
#include "host/client/TaskProcess.h"

namespace tether_host {

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

// The README's and --help's words for the codes above.
extern const char kExitCodeHelp[];

// "tether-host: <line>" on stderr, with control characters made harmless
// (the line may quote a camera's or a file's name).
void Say(const std::string& line);

// Creates `dir` (with its parents) and proves it writable by creating and
// removing a file in it, before any task starts; false after saying why.
bool PrepareOutputFolder(const std::string& dir);

// SIGINT, SIGTERM, SIGHUP (the terminal went away) and SIGQUIT arrive through a descriptor that every wait polls, so
// a stop request is handled in order instead of in a signal handler. Make
// it before any thread starts: the block is inherited by threads (the task
// is started with an empty signal mask).
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  int fd() const { return mFd; }
  void drain();

 private:
  sigset_t mSet;
  int mFd = -1;
};

// The task and its log, started together.
struct RunningTask {
  std::unique_ptr<TaskLog> log;
  std::unique_ptr<TaskProcess> task;
};
// kExitOk, or the exit code after saying why: kExitUsage for a --task-log
// that cannot be opened (the default one falls back, said in a line),
// kExitNoTask for a task that cannot be started.
int StartTask(const TaskLaunch& launch, RunningTask* running);

// Asks the task to stop and waits for it, dropping what it still sends. A
// second stop request, or a task that does not end in time, gets it
// terminated. Returns how it ended. `late`, when given, gets each message
// that still comes.
ExitStatus ShutDown(TaskProcess* task, StopSignals* stop,
                    const std::function<void(const HostMessage&)>& late = nullptr);
// The exit of a task that we did not ask to stop; kExitTaskDied.
int ReportUnexpectedExit(TaskProcess* task);

void PrintSettings(ZyLuaTE* settings, const std::string& camera);
// The table of saved files, then what could not be saved and the captures
// left incomplete (on stdout: they are the command's result).
void PrintSummary(const std::string& outDir, const std::vector<SavedFile>& files,
                  const std::vector<SaveFailed>& failures,
                  const std::vector<IncompleteCapture>& incomplete);
// Files that stayed in the temporary folder, one line each.
void SayLeftovers(const std::vector<std::string>& leftovers);
// The task log's last lines and where the whole log is.
void SayLogTail(const std::string& path, const std::vector<std::string>& tail);

}  // namespace tether_host

#endif  // TETHER_HOST_COMMAND_SUPPORT_H_
