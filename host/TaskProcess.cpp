#include "host/TaskProcess.h"

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

extern char** environ;

namespace tether_host {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, or -1 (no limit) when there is none.
int RemainingMs(bool limited, Clock::time_point deadline) {
  if (!limited) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

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

std::unique_ptr<TaskProcess> TaskProcess::start(const Options& options, std::string* error) {
  struct stat st;
  if (stat(options.path.c_str(), &st) != 0) {
    *error = (errno == ENOENT ? "task not found: " : "cannot reach task " ) + options.path +
             (errno == ENOENT ? "" : std::string(": ") + strerror(errno));
    return nullptr;
  }
  if (!S_ISREG(st.st_mode) || access(options.path.c_str(), X_OK) != 0) {
    *error = "task is not an executable file: " + options.path;
    return nullptr;
  }

  int stdinRead, stdinWrite, stdoutRead, stdoutWrite;
  if (!MakePipe(&stdinRead, &stdinWrite)) {
    *error = std::string("cannot create pipe: ") + strerror(errno);
    return nullptr;
  }
  if (!MakePipe(&stdoutRead, &stdoutWrite)) {
    *error = std::string("cannot create pipe: ") + strerror(errno);
    close(stdinRead);
    close(stdinWrite);
    return nullptr;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, stdinRead, 0);
  posix_spawn_file_actions_adddup2(&actions, stdoutWrite, 1);
  if (!options.stderrPath.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, options.stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
  }

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
  std::vector<std::string> envStrings = MergedEnvironment(options.environment);
  std::vector<char*> argv = CStrings(argStrings);
  std::vector<char*> envp = CStrings(envStrings);

  pid_t pid = -1;
  const int rc = posix_spawn(&pid, options.path.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(stdinRead);
  close(stdoutWrite);
  if (rc != 0) {
    *error = "cannot start task " + options.path + ": " + strerror(rc);
    close(stdinWrite);
    close(stdoutRead);
    return nullptr;
  }
  fcntl(stdinWrite, F_SETFL, fcntl(stdinWrite, F_GETFL) | O_NONBLOCK);
  fcntl(stdoutRead, F_SETFL, fcntl(stdoutRead, F_GETFL) | O_NONBLOCK);
  return std::unique_ptr<TaskProcess>(new TaskProcess(pid, stdinWrite, stdoutRead, options));
}

TaskProcess::TaskProcess(pid_t pid, int inputFd, int outputFd, const Options& options)
    : mPid(pid),
      mInputFd(inputFd),
      mOutputFd(outputFd),
      mGraceMs(options.graceMs),
      mReader(options.maxFrameLength) {}

TaskProcess::~TaskProcess() {
  if (!mReaped) {
    closeInput();
    if (!waitForExit(mGraceMs)) terminate();
  }
  closeInput();
  if (mOutputFd >= 0) close(mOutputFd);
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
  const auto deadline = Clock::now() + std::chrono::seconds(10);
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
      const int left = RemainingMs(true, deadline);
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
  const bool limited = timeoutMs >= 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
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
    struct pollfd fds[2] = {{mOutputFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int n = poll(fds, wakeFd >= 0 ? 2 : 1, RemainingMs(limited, deadline));
    if (n < 0 && errno != EINTR) {
      mError = std::string("poll: ") + strerror(errno);
      return ReadStatus::kBadFrame;
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
    if (limited && RemainingMs(true, deadline) == 0) return ReadStatus::kTimeout;
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
  const bool limited = timeoutMs >= 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
  // Polls with a growing pause: exits are rare events and the pause is
  // short next to any grace period.
  int pauseMs = 1;
  while (!reapNow()) {
    const int left = RemainingMs(limited, deadline);
    if (left == 0) return false;
    const int sleepMs = left < 0 ? pauseMs : std::min(left, pauseMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
    pauseMs = std::min(pauseMs * 2, 50);
  }
  return true;
}

const ExitStatus& TaskProcess::terminate() {
  if (!mReaped) {
    closeInput();
    kill(mPid, SIGTERM);
    if (!waitForExit(mGraceMs)) {
      kill(mPid, SIGKILL);
      waitForExit(-1);
    }
  }
  return mStatus;
}

}  // namespace tether_host
