#include "host/web/LiveFrames.h"

#include <chrono>

namespace tether_host {

void LiveFrames::setRunning(bool running) {
  zy::MutexLock lock(&mMutex);
  mRunning = running;
  if (!running) mNewest.jpeg.reset();
  mChanged.signalAll();
}

bool LiveFrames::running() const {
  zy::MutexLock lock(&mMutex);
  return mRunning;
}

void LiveFrames::put(uint32_t sequence, std::shared_ptr<const std::string> jpeg) {
  std::shared_ptr<const std::string> replaced;  // freed outside the lock
  zy::MutexLock lock(&mMutex);
  replaced = std::move(mNewest.jpeg);
  mNewest = {sequence, std::move(jpeg)};
  mChanged.signalAll();
}

LiveFrames::Wait LiveFrames::newerThan(uint32_t after, int waitMs, Frame* out) {
  zy::MutexLock lock(&mMutex);
  const auto fresh = [&] { return mNewest.jpeg && mNewest.sequence > after; };
  if (!fresh() && mRunning && !mClosed && mWaiters < mMaxWaiters) {
    ++mWaiters;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!fresh() && mRunning && !mClosed) {
      if (!mChanged.waitUntil(&mMutex, deadline)) break;
    }
    --mWaiters;
  }
  if (!mRunning || mClosed) return Wait::kOff;
  if (!fresh()) return Wait::kTimeout;
  *out = mNewest;
  return Wait::kFrame;
}

void LiveFrames::close() {
  zy::MutexLock lock(&mMutex);
  mClosed = true;
  mChanged.signalAll();
}

}  // namespace tether_host
