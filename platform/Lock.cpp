#include "platform/Lock.h"

namespace zy {

bool Lock::lockBeforeDate(Clock::time_point deadline) {
  MutexLock guard(&mMutex);
  while (mHeld) {
    // A wait that ends at the deadline still wins a release that came with it.
    if (!mReleased.waitUntil(&mMutex, deadline) && mHeld) return false;
  }
  mHeld = true;
  return true;
}

bool Lock::lockWithin(double seconds) {
  // Uncontended, as it nearly always is: take it without reading the clock.
  {
    MutexLock guard(&mMutex);
    if (!mHeld) {
      mHeld = true;
      return true;
    }
  }
  // Clamp before converting: a double outside the clock's range (or NaN) would
  // make the conversion undefined. A century is "forever" for a lock.
  constexpr double kForever = 100.0 * 365 * 24 * 3600;
  if (!(seconds > 0)) seconds = 0;  // also catches NaN
  if (seconds > kForever) seconds = kForever;
  auto wait = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  return lockBeforeDate(Clock::now() + wait);
}

void Lock::unlock() {
  {
    MutexLock guard(&mMutex);
    mHeld = false;
  }
  mReleased.signal();
}

}  // namespace zy
