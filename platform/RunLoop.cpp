#include "platform/RunLoop.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Log.h"
#include "platform/Mutex.h"

namespace zy {

namespace {

using Clock = std::chrono::steady_clock;

// Seconds as a clock duration, clamped to [0, a century] so that any double
// (negative, NaN, huge) converts safely.
Clock::duration ToDuration(double seconds) {
  constexpr double kCentury = 100.0 * 365 * 24 * 3600;
  if (!(seconds > 0)) seconds = 0;
  if (seconds > kCentury) seconds = kCentury;
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The shortest repeating interval: anything shorter would starve the loop.
constexpr Clock::duration kMinimumInterval = std::chrono::microseconds(100);

std::atomic<RunLoop*> gMainLoop{nullptr};  // set once by RunLoop::main()

[[noreturn]] void Fatal(const char* what) {
  Log("RunLoop: %s", what);
  std::abort();
}

}  // namespace

struct RunLoop::Impl {
  std::thread::id owner;
  int wakeFd = -1;  // eventfd: written when `incoming` or a stop needs the loop's attention

  // Shared with posting threads.
  Mutex mutex;
  std::deque<Task> incoming GUARDED_BY(mutex);
  bool wakePending GUARDED_BY(mutex) = false;  // wakeFd written and not yet drained
  std::atomic<bool> stopRequested{false};

  // Loop thread only from here on: confined to one thread, which the
  // analysis cannot express, rather than locked.
  struct Timer {
    Clock::time_point due;
    Clock::duration interval;    // zero for a one-shot call
    std::shared_ptr<Task> task;  // shared so that a running task survives invalidation
  };
  std::map<TimerId, Timer> timers;
  std::set<std::pair<Clock::time_point, TimerId>> schedule;  // ties fire in scheduling order
  TimerId nextTimerId = 1;

  struct Watch {
    uint64_t id;
    int fd;
    Task task;
  };
  std::vector<Watch> watches;  // in arming order
  uint64_t nextWatchId = 1;

  int signalFd = -1;
  sigset_t signals;
  std::map<int, Task> signalHandlers;

  // Events whose time has come, in order: posted tasks, fired watches and
  // signal handlers. Run from here so that a nested loop keeps their order.
  std::deque<Task> ready;

  void wake() REQUIRES(mutex) {
    if (wakePending) return;
    wakePending = true;
    uint64_t one = 1;
    while (::write(wakeFd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
  }

  void checkLoopThread(const char* operation) const {
    if (std::this_thread::get_id() != owner) {
      Log("RunLoop::%s called off the loop thread", operation);
      std::abort();
    }
  }

  TimerId addTimer(Clock::duration delay, Clock::duration interval, Task task) {
    TimerId id = nextTimerId++;
    Clock::time_point due = Clock::now() + delay;
    timers.emplace(id, Timer{due, interval, std::make_shared<Task>(std::move(task))});
    schedule.emplace(due, id);
    return id;
  }

  // Moves posted tasks to `ready`. `woken`: poll saw wakeFd readable, which
  // can also happen without wakePending (a forked child wrote to the shared
  // eventfd); the descriptor is drained then too, or poll would never sleep.
  void takeIncoming(bool woken) {
    MutexLock lock(&mutex);
    if (wakePending || woken) {
      uint64_t count;
      while (::read(wakeFd, &count, sizeof(count)) < 0 && errno == EINTR) {
      }
      wakePending = false;
    }
    while (!incoming.empty()) {
      ready.push_back(std::move(incoming.front()));
      incoming.pop_front();
    }
  }

  // Fires the earliest timer, which must be due.
  void fireFirstTimer() {
    TimerId id = schedule.begin()->second;
    schedule.erase(schedule.begin());
    auto it = timers.find(id);
    std::shared_ptr<Task> task = it->second.task;
    if (it->second.interval == Clock::duration::zero()) {
      timers.erase(it);
    } else {
      // Next tick on the grid, skipping the ticks already missed.
      Timer& timer = it->second;
      Clock::time_point now = Clock::now();
      Clock::time_point next = timer.due + timer.interval;
      if (next <= now) next += ((now - next) / timer.interval + 1) * timer.interval;
      timer.due = next;
      schedule.emplace(next, id);
    }
    (*task)();
  }

  // Waits in poll(2) until the next event or `deadline`, and moves fired
  // watches and signal handlers to `ready`.
  void wait(std::optional<Clock::time_point> deadline) {
    int timeoutMs = -1;
    std::optional<Clock::time_point> until = deadline;
    if (!schedule.empty() && (!until || schedule.begin()->first < *until)) {
      until = schedule.begin()->first;
    }
    if (!ready.empty()) {
      timeoutMs = 0;
    } else if (until) {
      auto left = std::chrono::duration_cast<std::chrono::microseconds>(*until - Clock::now());
      // Round up: waking before the timer is due would spin.
      long long ms = left.count() <= 0 ? 0 : (left.count() + 999) / 1000;
      timeoutMs = static_cast<int>(std::min<long long>(ms, 3600 * 1000));
    }

    std::vector<struct pollfd> fds;
    fds.reserve(2 + watches.size());
    fds.push_back({wakeFd, POLLIN, 0});
    if (signalFd >= 0) fds.push_back({signalFd, POLLIN, 0});
    size_t firstWatch = fds.size();
    std::vector<uint64_t> watchIds;
    for (const Watch& watch : watches) {
      fds.push_back({watch.fd, POLLIN, 0});
      watchIds.push_back(watch.id);
    }
    int n = ::poll(fds.data(), fds.size(), timeoutMs);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) return;
      Fatal("poll failed");
    }
    if (n == 0) return;
    if (fds[0].revents != 0) takeIncoming(true);

    if (signalFd >= 0 && fds[1].revents != 0) {
      struct signalfd_siginfo info;
      while (::read(signalFd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
        auto handler = signalHandlers.find(static_cast<int>(info.ssi_signo));
        if (handler != signalHandlers.end()) ready.push_back(handler->second);
      }
    }
    for (size_t i = firstWatch; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;  // POLLIN, POLLHUP, POLLERR, POLLNVAL all fire
      uint64_t id = watchIds[i - firstWatch];
      for (auto it = watches.begin(); it != watches.end(); ++it) {
        if (it->id == id) {
          ready.push_back(std::move(it->task));
          watches.erase(it);
          break;
        }
      }
    }
  }

  // The loop behind run() and runUntil().
  void loop(const std::function<bool()>* done, std::optional<Clock::time_point> deadline) {
    checkLoopThread("run");
    auto finished = [&] {
      if (stopRequested.exchange(false)) return true;
      return done != nullptr && (*done)();
    };
    // After each event: leave the phase, so that the top of the loop decides.
    auto interrupted = [&] { return stopRequested.load() || (done != nullptr && (*done)()); };
    for (;;) {
      if (finished()) return;
      if (deadline && Clock::now() >= *deadline) return;

      takeIncoming(false);
      bool cut = false;
      for (size_t n = ready.size(); n > 0 && !ready.empty() && !cut; --n) {
        Task task = std::move(ready.front());
        ready.pop_front();
        task();
        cut = interrupted();
      }
      if (cut) continue;

      Clock::time_point now = Clock::now();
      while (!cut && !schedule.empty() && schedule.begin()->first <= now) {
        fireFirstTimer();
        cut = interrupted();
      }
      if (cut) continue;

      wait(deadline);
    }
  }
};

RunLoop::RunLoop() : mImpl(new Impl) {
  mImpl->owner = std::this_thread::get_id();
  mImpl->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (mImpl->wakeFd < 0) Fatal("cannot create its wake-up descriptor");
  sigemptyset(&mImpl->signals);
}

RunLoop& RunLoop::main() {
  static RunLoop* loop = [] {
    auto* created = new RunLoop;
    gMainLoop.store(created, std::memory_order_release);
    return created;
  }();
  return *loop;
}

bool RunLoop::isMainThread() {
  RunLoop* loop = gMainLoop.load(std::memory_order_acquire);
  return loop != nullptr && loop->mImpl->owner == std::this_thread::get_id();
}

void RunLoop::performAfterDelay(double seconds, Task task) {
  mImpl->checkLoopThread("performAfterDelay");
  mImpl->addTimer(ToDuration(seconds), Clock::duration::zero(), std::move(task));
}

RunLoop::TimerId RunLoop::scheduleRepeatingTimer(double interval, Task task) {
  mImpl->checkLoopThread("scheduleRepeatingTimer");
  Clock::duration period = std::max(ToDuration(interval), kMinimumInterval);
  return mImpl->addTimer(period, period, std::move(task));
}

void RunLoop::invalidateTimer(TimerId timer) {
  mImpl->checkLoopThread("invalidateTimer");
  auto it = mImpl->timers.find(timer);
  if (it == mImpl->timers.end()) return;
  mImpl->schedule.erase({it->second.due, timer});
  mImpl->timers.erase(it);
}

void RunLoop::watchReadableOnce(int fd, Task task) {
  mImpl->checkLoopThread("watchReadableOnce");
  mImpl->watches.push_back({mImpl->nextWatchId++, fd, std::move(task)});
}

void RunLoop::performOnMainThread(Task task) {
  MutexLock lock(&mImpl->mutex);
  mImpl->incoming.push_back(std::move(task));
  mImpl->wake();
}

void RunLoop::onSignal(int signal, Task handler) {
  mImpl->checkLoopThread("onSignal");
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  if (::pthread_sigmask(SIG_BLOCK, &one, nullptr) != 0) Fatal("cannot block a signal");
  sigaddset(&mImpl->signals, signal);
  int fd = ::signalfd(mImpl->signalFd, &mImpl->signals, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) Fatal("cannot create its signal descriptor");
  mImpl->signalFd = fd;
  mImpl->signalHandlers[signal] = std::move(handler);
}

void RunLoop::run() { mImpl->loop(nullptr, std::nullopt); }

bool RunLoop::runUntil(const std::function<bool()>& done, double seconds) {
  mImpl->loop(&done, Clock::now() + ToDuration(seconds));
  return done();
}

void RunLoop::stop() {
  mImpl->stopRequested = true;
  MutexLock lock(&mImpl->mutex);
  mImpl->wake();
}

}  // namespace zy
