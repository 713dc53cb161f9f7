// A TaskScheduler that runs nothing by itself: it records each delayed call
// and each repeating timer with the delay or interval asked for, and the test
// runs their tasks when it chooses. Main thread only.
#ifndef TETHER_TESTS_RECORDING_SCHEDULER_H_
#define TETHER_TESTS_RECORDING_SCHEDULER_H_

#include <map>
#include <utility>
#include <vector>

#include "source/mac_source/TaskScheduler.h"

class RecordingScheduler : public TaskScheduler {
 public:
  struct Timer {
    double interval = 0;
    Task task;
    bool valid = true;
  };

  void performAfterDelay(double seconds, Task task) override {
    delays.push_back(seconds);
    delayed.push_back(std::move(task));
  }
  TimerId scheduleRepeatingTimer(double interval, Task task) override {
    const TimerId id = ++mLastId;
    timers[id] = Timer{interval, std::move(task), true};
    return id;
  }
  void invalidateTimer(TimerId timer) override {
    auto it = timers.find(timer);
    if (it != timers.end()) it->second.valid = false;
  }

  std::vector<double> delays;  // of each delayed call, in order
  std::vector<Task> delayed;   // their tasks, not yet run
  std::map<TimerId, Timer> timers;

 private:
  TimerId mLastId = 0;
};

#endif  // TETHER_TESTS_RECORDING_SCHEDULER_H_
