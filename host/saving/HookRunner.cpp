#include "host/saving/HookRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <vector>

#include "host/client/TaskProcess.h"

extern char** environ;

namespace tether_host {

HookRunner::HookRunner(std::string command, Say say)
    : mCommand(std::move(command)), mSay(std::move(say)), mThread([this] { work(); }) {}

HookRunner::~HookRunner() { finish(); }

void HookRunner::fileSaved(const FileSaved& file) {
  {
    zy::MutexLock lock(&mMutex);
    if (mQueue.size() < kQueueLimit) {
      mQueue.push_back({file.path, file.captureId, file.kind});
      mChanged.signal();
      return;
    }
  }
  ++mDropped;
  mSay("hook queue full (" + std::to_string(kQueueLimit) + " waiting): not running the hook for " +
       file.path);
}

void HookRunner::finish() {
  {
    zy::MutexLock lock(&mMutex);
    mStopping = true;
    mChanged.signal();
  }
  if (mThread.joinable()) mThread.join();
}

void HookRunner::work() {
  for (;;) {
    Job job;
    {
      zy::MutexLock lock(&mMutex);
      while (!mStopping && mQueue.empty()) mChanged.wait(&mMutex);
      if (mQueue.empty()) return;  // stopping, and nothing left to run
      job = mQueue.front();
      mQueue.pop_front();
      mRunning = true;
    }
    runOne(job);
    zy::MutexLock lock(&mMutex);
    mRunning = false;
  }
}

size_t HookRunner::pending() {
  zy::MutexLock lock(&mMutex);
  return mQueue.size() + (mRunning ? 1 : 0);
}

void HookRunner::runOne(const Job& job) {
  std::vector<std::string> args = {"/bin/sh", "-c", mCommand + " \"$@\"", "tether-hook", job.path};
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  env.push_back("TETHER_ACTION=file_saved");
  env.push_back("TETHER_CAPTURE_ID=" + std::to_string(job.captureId));
  env.push_back(std::string("TETHER_FILE_KIND=") + fileKindName(job.kind));
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  // The hook's output joins our messages on stderr, never the status line.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 2, 1);
  // A Ctrl-C meant for the session does not cut a hook short.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
  pid_t pid;
  const int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return mSay("cannot run the hook for " + job.path);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const ExitStatus exit = ExitStatus::fromWaitStatus(status);
  if (!exit.success()) mSay("the hook for " + job.path + " " + exit.describe());
}

}  // namespace tether_host
