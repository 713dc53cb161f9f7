// A lock that can be taken with a deadline. Not recursive; unlock() must come
// from the thread that took it. A capability for the thread-safety analysis:
// fields it guards are marked GUARDED_BY(lock).
#ifndef ZY_PLATFORM_LOCK_H_
#define ZY_PLATFORM_LOCK_H_

#include <chrono>

#include "platform/Mutex.h"
#include "platform/ThreadAnnotations.h"

namespace zy {

class CAPABILITY("lock") Lock {
 public:
  using Clock = std::chrono::steady_clock;

  // Takes the lock, waiting until `deadline` at the latest. Returns false,
  // without the lock, when the deadline passes first.
  bool lockBeforeDate(Clock::time_point deadline) TRY_ACQUIRE(true);
  // The same, with the deadline `seconds` from now.
  bool lockWithin(double seconds) TRY_ACQUIRE(true);
  void unlock() RELEASE();

 private:
  // A flag under a plain mutex rather than std::timed_mutex: the latter's
  // timed wait (pthread_mutex_clocklock) is invisible to ThreadSanitizer, which
  // then reports every unlock as a misuse and misses real races.
  Mutex mMutex;
  CondVar mReleased;
  bool mHeld GUARDED_BY(mMutex) = false;
};

}  // namespace zy

#endif  // ZY_PLATFORM_LOCK_H_
