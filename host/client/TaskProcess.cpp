#include "host/client/TaskProcess.h"

#include "host/client/Deadline.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

extern char** environ;

namespace tether_host {

namespace {


// A close-on-exec duplicate numbered above the standard descriptors, so the
// child's dup2 onto 0 and 1 can never be a no-op that keeps close-on-exec.
int HighCloexecFd(int fd) {
  const int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int saved = errno;
  close(fd);
  errno = saved;
  return high;
}

bool MakePipe(int* readEnd, int* writeEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  *readEnd = HighCloexecFd(fds[0]);
  *writeEnd = HighCloexecFd(fds[1]);
  if (*readEnd < 0 || *writeEnd < 0) {
    if (*readEnd >= 0) close(*readEnd);
    if (*writeEnd >= 0) close(*writeEnd);
    return false;
  }
  return true;
}

// Our environment with `overrides` applied in order: an entry replaces any
// earlier one of the same name (ours or an earlier override), so the last
// word on a name wins, as the child's getenv would otherwise not see it.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& overrides) {
  std::vector<std::string> merged;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) merged.emplace_back(*e);
  for (const std::string& entry : overrides) {
    const std::string key = entry.substr(0, entry.find('=') + 1);
    merged.erase(std::remove_if(merged.begin(), merged.end(),
                                [&](const std::string& m) { return m.compare(0, key.size(), key) == 0; }),
                 merged.end());
    merged.push_back(entry);
  }
  return merged;
}

std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

// ---- ExitStatus ----

ExitStatus ExitStatus::fromWaitStatus(int status) {
  ExitStatus s;
  if (WIFEXITED(status)) {
    s.exited = true;
    s.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    s.signal = WTERMSIG(status);
  }
  return s;
}

std::string ExitStatus::describe() const {
  if (exited) return "exited with status " + std::to_string(code);
  const char* name = strsignal(signal);
  return "killed by signal " + std::to_string(signal) + (name ? std::string(" (") + name + ")" : "");
}

// ---- TaskProcess ----

namespace {

// The three descriptors the child gets as 0, 1 and 2, and our ends.
struct ChildPipes {
  int stdinRead = -1, stdinWrite = -1, stdoutRead = -1, stdoutWrite = -1;
  int logRead = -1, logWrite = -1;  // logWrite: the child's stderr; -1 shares ours
  void closeChildEnds() {
    for (int* fd : {&stdinRead, &stdoutWrite, &logWrite}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }
  void closeAll() {
    closeChildEnds();
    for (int* fd : {&stdinWrite, &stdoutRead, &logRead}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }
};

bool CheckExecutable(const std::string& path, std::string* error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *error = (errno == ENOENT ? "task not found: " : "cannot reach task ") + path +
             (errno == ENOENT ? "" : std::string(": ") + strerror(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode) || access(path.c_str(), X_OK) != 0) {
    *error = "task is not an executable file: " + path;
    return false;
  }
  return true;
}

// The log file is opened here, not in the child, so that a log that cannot
// be opened is reported as what it is rather than as a task that did not start.
bool MakeChildPipes(const TaskProcess::Options& options, ChildPipes* p, std::string* error) {
  if (!MakePipe(&p->stdinRead, &p->stdinWrite) || !MakePipe(&p->stdoutRead, &p->stdoutWrite) ||
      (options.logLine && !MakePipe(&p->logRead, &p->logWrite))) {
    *error = std::string("cannot create pipe: ") + strerror(errno);
    return false;
  }
  if (!options.logLine && !options.stderrPath.empty()) {
    p->logWrite = open(options.stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (p->logWrite < 0) {
      *error = "cannot open the task log " + options.stderrPath + ": " + strerror(errno);
      return false;
    }
  }
  return true;
}

// The TMPDIR that `environment` sets, the last one winning; empty when none.
std::string TmpDirOf(const std::vector<std::string>& environment) {
  std::string dir;
  for (const std::string& e : environment) {
    if (e.rfind("TMPDIR=", 0) == 0) dir = e.substr(7);
  }
  return dir;
}

pid_t Spawn(const TaskProcess::Options& options, const std::vector<std::string>& environment,
            const ChildPipes& p, std::string* error) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, p.stdinRead, 0);
  posix_spawn_file_actions_adddup2(&actions, p.stdoutWrite, 1);
  if (p.logWrite >= 0) posix_spawn_file_actions_adddup2(&actions, p.logWrite, 2);

  // The child starts with no blocked signals and default dispositions for
  // the ones a host may have changed, in a process group of its own.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                      POSIX_SPAWN_SETPGROUP);

  std::vector<std::string> argStrings{options.path};
  argStrings.insert(argStrings.end(), options.args.begin(), options.args.end());
  std::vector<std::string> envStrings = MergedEnvironment(environment);
  std::vector<char*> argv = CStrings(argStrings);
  std::vector<char*> envp = CStrings(envStrings);

  pid_t pid = -1;
  const int rc = posix_spawn(&pid, options.path.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    *error = "cannot start task " + options.path + ": " + strerror(rc);
    return -1;
  }
  return pid;
}

}  // namespace

std::unique_ptr<TaskProcess> TaskProcess::start(const Options& options, std::string* error) {
  if (!CheckExecutable(options.path, error)) return nullptr;
  std::unique_ptr<PrivateTempDir> tempDir;
  std::vector<std::string> environment = options.environment;
  if (options.privateTempDir) {
    tempDir = PrivateTempDir::create(TmpDirOf(options.environment), error);
    if (!tempDir) return nullptr;
    environment.push_back("TMPDIR=" + tempDir->path());
  }
  ChildPipes pipes;
  if (!MakeChildPipes(options, &pipes, error)) {
    pipes.closeAll();
    return nullptr;
  }
  const pid_t pid = Spawn(options, environment, pipes, error);
  pipes.closeChildEnds();
  if (pid < 0) {
    pipes.closeAll();
    return nullptr;
  }
  for (int fd : {pipes.stdinWrite, pipes.stdoutRead, pipes.logRead}) {
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  std::unique_ptr<TaskProcess> task(
      new TaskProcess(pid, pipes.stdinWrite, pipes.stdoutRead, pipes.logRead, options));
  task->mTempDir = std::move(tempDir);
  return task;
}

TaskProcess::TaskProcess(pid_t pid, int inputFd, int outputFd, int logFd, const Options& options)
    : mPid(pid),
      mInputFd(inputFd),
      mOutputFd(outputFd),
      mLogFd(logFd),
      mLogLine(options.logLine),
      mGraceMs(options.graceMs),
      mReader(options.maxFrameLength) {}

TaskProcess::~TaskProcess() {
  if (!mReaped) {
    closeInput();
    if (!waitForExit(mGraceMs)) terminate();
  }
  closeInput();
  if (mOutputFd >= 0) close(mOutputFd);
  if (mLogFd >= 0) close(mLogFd);
}

std::vector<std::string> TaskProcess::removeTempDir() {
  return mTempDir ? mTempDir->removeOrList() : std::vector<std::string>{};
}

void TaskProcess::readLog() {
  char chunk[16 * 1024];
  for (;;) {
    const ssize_t got = ::read(mLogFd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) return;
    if (got <= 0) {
      close(mLogFd);
      mLogFd = -1;
      if (!mLogPartial.empty()) mLogLine(std::exchange(mLogPartial, std::string()));
      return;
    }
    mLogPartial.append(chunk, static_cast<size_t>(got));
    size_t nl;
    while ((nl = mLogPartial.find('\n')) != std::string::npos) {
      const std::string line = mLogPartial.substr(0, nl);
      mLogPartial.erase(0, nl + 1);
      mLogLine(line);
    }
  }
}

int32_t TaskProcess::send(const std::string& name, const ZyLuaTETable* payload) {
  const int32_t id = mNextId++;
  return sendWithId(id, name, payload) ? id : -1;
}

bool TaskProcess::sendWithId(int32_t id, const std::string& name, const ZyLuaTETable* payload) {
  return writeAll(EncodeFrame(id, name, payload));
}

bool TaskProcess::sendRaw(const std::string& bytes) { return writeAll(bytes); }

// Writes with SIGPIPE blocked on this thread; a SIGPIPE raised by our own
// write is consumed before the old mask returns, so a task that went away
// shows as an error here, never as the death of the host.
bool TaskProcess::writeAll(const std::string& bytes) {
  if (mInputFd < 0) {
    mError = "the task's input is closed";
    return false;
  }
  sigset_t pipeOnly, oldMask, pending;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &oldMask);
  sigpending(&pending);
  const bool pipeWasPending = sigismember(&pending, SIGPIPE) == 1;

  // Commands are a few dozen bytes; a task that stops reading for this long
  // is stuck, not busy.
  const Deadline deadline = Deadline::in(10000);
  size_t done = 0;
  bool ok = true;
  while (done < bytes.size()) {
    const ssize_t n = write(mInputFd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      const int left = deadline.msLeft();
      if (left == 0) {
        mError = "the task stopped reading its input";
        ok = false;
        break;
      }
      struct pollfd p = {mInputFd, POLLOUT, 0};
      poll(&p, 1, left);  // readiness, an error or the deadline: the write tells which
      continue;
    }
    mError = std::string("cannot write to the task: ") + strerror(errno);
    if (errno == EPIPE && !pipeWasPending) {
      const struct timespec zero = {0, 0};
      while (sigtimedwait(&pipeOnly, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    ok = false;
    break;
  }
  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  return ok;
}

TaskProcess::ReadStatus TaskProcess::read(HostMessage* message, int timeoutMs, int wakeFd) {
  const Deadline deadline = Deadline::in(timeoutMs);
  mReturnFromRead = false;
  for (;;) {
    switch (mReader.next(message)) {
      case FrameReader::Result::kMessage:
        return ReadStatus::kMessage;
      case FrameReader::Result::kError:
        mError = mReader.error();
        return ReadStatus::kBadFrame;
      case FrameReader::Result::kNeedMore:
        break;
    }
    if (mOutputFd < 0) {
      if (mReader.buffered() > 0) {
        mError = "the task's output ended inside a frame (" + std::to_string(mReader.buffered()) +
                 " bytes left over)";
        return ReadStatus::kBadFrame;
      }
      return ReadStatus::kEndOfOutput;
    }
    struct pollfd fds[3] = {{mOutputFd, POLLIN, 0}, {wakeFd, POLLIN, 0}, {mLogFd, POLLIN, 0}};
    const int n = poll(fds, 3, deadline.msLeft());
    if (n < 0 && errno != EINTR) {
      mError = std::string("poll: ") + strerror(errno);
      return ReadStatus::kBadFrame;
    }
    if (n > 0 && fds[2].revents != 0) readLog();
    if (mReturnFromRead) {
      mReturnFromRead = false;
      return ReadStatus::kLogNews;
    }
    if (wakeFd >= 0 && (fds[1].revents & POLLIN)) return ReadStatus::kInterrupted;
    if (n > 0 && fds[0].revents != 0) {
      char chunk[64 * 1024];
      const ssize_t got = ::read(mOutputFd, chunk, sizeof chunk);
      if (got > 0) {
        mReader.append(chunk, static_cast<size_t>(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(mOutputFd);
        mOutputFd = -1;
      }
      continue;  // decode before looking at the clock again
    }
    if (deadline.passed()) return ReadStatus::kTimeout;
  }
}

void TaskProcess::closeInput() {
  if (mInputFd >= 0) {
    close(mInputFd);
    mInputFd = -1;
  }
}

bool TaskProcess::reapNow() {
  if (mReaped) return true;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(mPid, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == mPid) {
    mStatus = ExitStatus::fromWaitStatus(status);
    mReaped = true;
  } else if (r < 0) {
    // Not our child any more (reaped elsewhere): nothing left to wait for.
    mReaped = true;
    mStatus = ExitStatus{};
  }
  return mReaped;
}

bool TaskProcess::waitForExit(int timeoutMs) {
  const Deadline deadline = Deadline::in(timeoutMs);
  // Polls with a growing pause: exits are rare events and the pause is
  // short next to any grace period. The task's log is read meanwhile, so a
  // task that logs as it ends never blocks on a full pipe.
  int pauseMs = 1;
  while (!reapNow()) {
    const int left = deadline.msLeft();
    if (left == 0) return false;
    const int sleepMs = left < 0 ? pauseMs : std::min(left, pauseMs);
    if (mLogFd >= 0) {
      struct pollfd p = {mLogFd, POLLIN, 0};
      if (poll(&p, 1, sleepMs) > 0) readLog();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
    }
    pauseMs = std::min(pauseMs * 2, 50);
  }
  if (mLogFd >= 0) readLog();  // what the task logged before it ended
  return true;
}

const ExitStatus& TaskProcess::terminate() {
  if (!mReaped) {
    // The signal goes first: a task that saw end of input first could end
    // by itself, and the caller would not learn that it was ever signalled.
    kill(mPid, SIGTERM);
    closeInput();
    if (!waitForExit(mGraceMs)) {
      kill(mPid, SIGKILL);
      waitForExit(-1);
    }
  }
  return mStatus;
}

}  // namespace tether_host
