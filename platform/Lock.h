// A lock that can be taken with a deadline.
#ifndef ZY_PLATFORM_LOCK_H_
#define ZY_PLATFORM_LOCK_H_

#include <chrono>
#include <mutex>

namespace zy {

class Lock {
 public:
  using Clock = std::chrono::steady_clock;

  // Takes the lock, waiting until `deadline` at the latest. Returns false,
  // without the lock, when the deadline passes first.
  bool lockBeforeDate(Clock::time_point deadline);
  // The same, with the deadline `seconds` from now.
  bool lockWithin(double seconds);
  void unlock();

 private:
  std::timed_mutex mMutex;
};

}  // namespace zy

#endif  // ZY_PLATFORM_LOCK_H_
