// The timed calls that the delegate and the tether service ask of the main
// run loop: the delayed dispatch and the repeating Qt tick. They take them
// from a TaskScheduler, by default the main run loop's, so that a test can
// hand in a recording one and see the delay and interval asked for without
// waiting them out. Main thread only, like the run loop's own calls.
#ifndef ZY_TASK_SCHEDULER_H_
#define ZY_TASK_SCHEDULER_H_

#include <utility>

#include "platform/RunLoop.h"

class TaskScheduler {
 public:
  using Task = zy::RunLoop::Task;
  using TimerId = zy::RunLoop::TimerId;

  virtual ~TaskScheduler() = default;

  // Calls `task` once, `seconds` from now.
  virtual void performAfterDelay(double seconds, Task task) = 0;
  // Calls `task` every `interval` seconds until invalidated.
  virtual TimerId scheduleRepeatingTimer(double interval, Task task) = 0;
  // Unknown or already invalidated ids are ignored.
  virtual void invalidateTimer(TimerId timer) = 0;

  // Forwards to zy::RunLoop::main(); lives until the process ends.
  static TaskScheduler& mainLoop();
};

namespace zy_internal {
class MainLoopScheduler final : public TaskScheduler {
 public:
  void performAfterDelay(double seconds, Task task) override {
    zy::RunLoop::main().performAfterDelay(seconds, std::move(task));
  }
  TimerId scheduleRepeatingTimer(double interval, Task task) override {
    return zy::RunLoop::main().scheduleRepeatingTimer(interval, std::move(task));
  }
  void invalidateTimer(TimerId timer) override { zy::RunLoop::main().invalidateTimer(timer); }
};
}  // namespace zy_internal

inline TaskScheduler& TaskScheduler::mainLoop() {
  // Never freed, like the loop it forwards to.
  static TaskScheduler* scheduler = new zy_internal::MainLoopScheduler;
  return *scheduler;
}

#endif  // ZY_TASK_SCHEDULER_H_
