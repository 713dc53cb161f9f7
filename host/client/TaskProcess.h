// The task as a child process: its stdin and stdout are pipes owned by this
// object, frames go in with increasing message ids, and frames come out as
// HostMessages. Single-threaded: one caller drives one TaskProcess.
//
// Process safety: the task runs in a process group of its own (a Ctrl-C at
// the terminal reaches the host only, which then shuts the task down in
// order); every descriptor of ours is close-on-exec; writes never raise
// SIGPIPE; and the destructor always reaps the child, ending it first with
// end of input, then SIGTERM, then SIGKILL, each after a grace period.
#ifndef TETHER_HOST_TASK_PROCESS_H_
#define TETHER_HOST_TASK_PROCESS_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/client/FrameReader.h"
#include "host/client/HostMessage.h"
#include "host/client/PrivateTempDir.h"

namespace tether_host {

// How long a task may take to end after "shutdown": its stop sequence
// drains for up to 2 x 5 s; a little more is allowed.
constexpr int kTaskShutdownWaitMs = 15000;

// How a child process ended.
struct ExitStatus {
  bool exited = false;  // true: normal exit with `code`; false: killed by `signal`
  int code = 0;
  int signal = 0;

  bool success() const { return exited && code == 0; }
  // "exited with status 3", "killed by signal 9 (Killed)".
  std::string describe() const;
  static ExitStatus fromWaitStatus(int status);
};

class TaskProcess {
 public:
  struct Options {
    std::string path;                      // the executable itself (no PATH search)
    std::vector<std::string> args;         // argv[1...]
    std::vector<std::string> environment;  // "NAME=value": added to ours, or replacing
    std::string stderrPath;                // empty: the task shares our stderr; else appended to
    // When set, the task's stderr comes back through a pipe and each line
    // (without its newline) is handed to this, on the thread that calls
    // read() or waitForExit(); stderrPath is then not used.
    std::function<void(const std::string& line)> logLine;
    // Give the task a PrivateTempDir as its TMPDIR, made under the TMPDIR
    // that `environment` sets, or else under ours.
    bool privateTempDir = true;
    int32_t maxFrameLength = FrameReader::kDefaultMaxFrameLength;
    int graceMs = 3000;                    // per escalation step when ending the task
  };

  // Starts the task. Returns null with *error set when it cannot be started
  // (the message names the path, e.g. "task not found: /x/tether-task", or
  // the log file or temporary directory that could not be made).
  static std::unique_ptr<TaskProcess> start(const Options& options, std::string* error);

  ~TaskProcess();
  TaskProcess(const TaskProcess&) = delete;
  TaskProcess& operator=(const TaskProcess&) = delete;

  pid_t pid() const { return mPid; }

  // Sends one frame with the next message id (1, 2, 3, ...). The payload is
  // only read. Returns the id, or -1 when the task's input is closed or
  // broken (error() says why); a failed send still uses up its id.
  int32_t send(const std::string& name, const ZyLuaTETable* payload);
  // Sends a frame with the given id; false on failure (see error()).
  bool sendWithId(int32_t id, const std::string& name, const ZyLuaTETable* payload);
  // Writes raw bytes to the task's input, as they are.
  bool sendRaw(const std::string& bytes);

  enum class ReadStatus {
    kMessage,      // *message filled
    kTimeout,      // nothing complete within the time
    kEndOfOutput,  // the task closed its output (normally: it is exiting)
    kBadFrame,     // the output is not a valid frame stream; error() says why
    kInterrupted,  // `wakeFd` became readable (its bytes are left to the caller)
    kLogNews,      // a logLine callback called returnFromRead()
  };
  // Waits at most timeoutMs (negative: without limit) for the next message.
  ReadStatus read(HostMessage* message, int timeoutMs, int wakeFd = -1);

  // From inside a logLine callback: the read() in progress returns kLogNews
  // once the lines at hand are handed out, so a caller learns at once of
  // what the task logged. Without effect elsewhere.
  void returnFromRead() { mReturnFromRead = true; }

  // Closes the task's input: the task takes end of file as a request to end.
  void closeInput();

  // Waits at most timeoutMs (negative: without limit) for the task to exit.
  // True once it has; the status is then in exitStatus().
  bool waitForExit(int timeoutMs);
  // Ends the task now: SIGTERM, then SIGKILL after the grace period; reaps it.
  const ExitStatus& terminate();
  bool hasExited() const { return mReaped; }
  const ExitStatus& exitStatus() const { return mStatus; }

  const std::string& error() const { return mError; }

  // The task's private temporary directory; empty without one.
  std::string tempDir() const { return mTempDir ? mTempDir->path() : std::string(); }
  // True when `path` is a file directly inside tempDir().
  bool ownsTempFile(const std::string& path) const { return mTempDir && mTempDir->holds(path); }
  // Once the task has ended: removes the temporary directory if empty and
  // returns nothing, or returns the files still in it (which stay).
  std::vector<std::string> removeTempDir();

 private:
  TaskProcess(pid_t pid, int inputFd, int outputFd, int logFd, const Options& options);
  bool writeAll(const std::string& bytes);
  bool reapNow();
  // Reads what the task logged and hands out its complete lines; at end of
  // the log, the unfinished last line too.
  void readLog();

  pid_t mPid;
  int mInputFd;   // write end of the task's stdin; -1 once closed
  int mOutputFd;  // read end of the task's stdout; -1 once at end
  int mLogFd;     // read end of the task's stderr with Options::logLine; else -1
  std::function<void(const std::string&)> mLogLine;
  std::string mLogPartial;  // a line still without its newline
  bool mReturnFromRead = false;
  std::unique_ptr<PrivateTempDir> mTempDir;
  int mGraceMs;
  int32_t mNextId = 1;
  FrameReader mReader;
  bool mReaped = false;
  ExitStatus mStatus;
  std::string mError;
};

}  // namespace tether_host

#endif  // TETHER_HOST_TASK_PROCESS_H_
