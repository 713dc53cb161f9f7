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
  // thread (it records which thread that is).
  static RunLoop& main();
  // True on the thread that owns the main loop.
  static bool isMainThread();

  // Loop-thread only. Calls `task` once, `seconds` from now.
  void performAfterDelay(double seconds, Task task);
  // Loop-thread only. Calls `task` every `interval` seconds until invalidated.
  TimerId scheduleRepeatingTimer(double interval, Task task);
  void invalidateTimer(TimerId timer);
  // Loop-thread only. Calls `task` once when `fd` is readable or at end of
  // file (or on error). One call per arming.
  void watchReadableOnce(int fd, Task task);

  // Any thread. Runs `task` on the loop thread soon; tasks posted from one
  // thread run in the order they were posted. Never blocks on the loop.
  void performOnMainThread(Task task);

  // Any thread. Runs `handler` on the loop thread whenever `signal` arrives
  // (the signal is otherwise blocked from its default action).
  void onSignal(int signal, Task handler);

  // Runs until stop() is called. Loop-thread only.
  void run();
  // Runs until `done()` is true (checked after each event) or `seconds` pass.
  // Returns done(). For tests and for draining.
  bool runUntil(const std::function<bool()>& done, double seconds);
  // Any thread. Makes run() return after the current event.
  void stop();

  // ... implementation private to RunLoop.cpp
};

}  // namespace zy

#endif  // ZY_PLATFORM_RUN_LOOP_H_
