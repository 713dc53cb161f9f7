// A lock that can be taken with a deadline. Not recursive; unlock() must come
// from the thread that took it.
#ifndef ZY_PLATFORM_LOCK_H_
#define ZY_PLATFORM_LOCK_H_

#include <chrono>
#include <condition_variable>
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
  // A flag under a plain mutex rather than std::timed_mutex: the latter's
  // timed wait (pthread_mutex_clocklock) is invisible to ThreadSanitizer, which
  // then reports every unlock as a misuse and misses real races.
  std::mutex mMutex;
  std::condition_variable mReleased;
  bool mHeld = false;  // guarded by mMutex
};

}  // namespace zy

#endif  // ZY_PLATFORM_LOCK_H_
