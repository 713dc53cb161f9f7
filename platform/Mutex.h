// A plain mutex, its scoped holder and a condition variable, annotated for
// Clang's thread-safety analysis (std::mutex is not, in libstdc++). Use these
// wherever fields are shared between threads, and mark the fields GUARDED_BY.
// Not recursive. Thread: any.
#ifndef ZY_PLATFORM_MUTEX_H_
#define ZY_PLATFORM_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/ThreadAnnotations.h"

namespace zy {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mMutex.lock(); }
  void unlock() RELEASE() { mMutex.unlock(); }
  bool tryLock() TRY_ACQUIRE(true) { return mMutex.try_lock(); }
  // Tells the analysis what the caller's own locking already ensures.
  void assertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mMutex;
};

// Holds `mutex` for the scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : mMutex(mutex) { mMutex->lock(); }
  ~MutexLock() RELEASE() { mMutex->unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mMutex;
};

// Waits release the caller's mutex while blocked and hold it again when
// they return; the analysis then knows which mutex that is. Thread: any.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void wait(Mutex* mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex->mMutex, std::adopt_lock);
    mCond.wait(lock);
    lock.release();
  }
  // False when `deadline` passed without a signal (spurious wakes return true).
  template <class Clock, class Duration>
  bool waitUntil(Mutex* mutex, const std::chrono::time_point<Clock, Duration>& deadline)
      REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex->mMutex, std::adopt_lock);
    const bool signalled = mCond.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return signalled;
  }
  void signal() { mCond.notify_one(); }
  void signalAll() { mCond.notify_all(); }

 private:
  std::condition_variable mCond;
};

}  // namespace zy

#endif  // ZY_PLATFORM_MUTEX_H_
