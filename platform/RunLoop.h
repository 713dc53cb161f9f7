// The main thread's run loop: timers, delayed calls, readiness of file
// descriptors and calls posted from other threads, all run on one thread.
// An idle loop sleeps in poll(2); nothing busy-waits.
#ifndef ZY_PLATFORM_RUN_LOOP_H_
#define ZY_PLATFORM_RUN_LOOP_H_

#include <cstdint>
#include <functional>

namespace zy {

class RunLoop {
 public:
  using Task = std::function<void()>;
  using TimerId = uint64_t;

  // The loop of the main thread. The first call must come from the main
  // thread (it records which thread that is). Lives until the process ends.
  static RunLoop& main();
  // True on the thread that owns the main loop (false before main() is called).
  static bool isMainThread();

  // Loop-thread only. Calls `task` once, `seconds` from now.
  void performAfterDelay(double seconds, Task task);
  // Loop-thread only. Calls `task` every `interval` seconds until invalidated.
  // Ticks stay on the interval's grid; a timer that fell behind (a long task)
  // fires once, not once per missed tick. The task may invalidate its timer.
  TimerId scheduleRepeatingTimer(double interval, Task task);
  // Loop-thread only. Unknown or already invalidated ids are ignored.
  void invalidateTimer(TimerId timer);
  // Loop-thread only. Calls `task` once when `fd` is readable or at end of
  // file (or on error). One call per arming.
  void watchReadableOnce(int fd, Task task);

  // Any thread. Runs `task` on the loop thread soon; tasks posted from one
  // thread run in the order they were posted. Never blocks on the loop.
  void performOnMainThread(Task task);

  // Loop-thread only. Runs `handler` on the loop thread whenever `signal`
  // arrives (the signal is otherwise blocked from its default action). Blocks
  // the signal on the calling thread, and so in every thread created after
  // it: install handlers before starting other threads, or the signal may be
  // delivered to one of those instead.
  void onSignal(int signal, Task handler);

  // Runs until stop() is called. Loop-thread only. Tasks may run the loop
  // again (nested); an exception thrown by a task leaves the loop through
  // run() with the loop intact.
  void run();
  // Runs until `done()` is true (checked first and after each event), until
  // `seconds` pass or until stop(). Returns done(). For tests and for draining.
  bool runUntil(const std::function<bool()>& done, double seconds);
  // Any thread. Makes the innermost running run()/runUntil() return after the
  // current event; when none is running, the next one returns at once.
  void stop();

 private:
  struct Impl;
  RunLoop();
  Impl* mImpl;  // never freed: the loop lives as long as the process
};

}  // namespace zy

#endif  // ZY_PLATFORM_RUN_LOOP_H_
