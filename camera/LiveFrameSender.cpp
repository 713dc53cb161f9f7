#include "camera/LiveFrameSender.h"

#include <chrono>
#include <cstring>
#include <utility>

namespace tether {
namespace {
// How often the sender looks again whether the host has caught up. Short
// against a frame's interval (50 ms at 20 fps), long against a syscall.
constexpr auto kRecheck = std::chrono::milliseconds(2);
constexpr size_t kRoomStep = 0xFFFF;  // a waiting frame's room, in 64 KiB steps
}  // namespace

LiveFrameSender::LiveFrameSender(Hooks hooks) : mHooks(std::move(hooks)) {
  mThread = std::thread(&LiveFrameSender::run, this);
}

LiveFrameSender::~LiveFrameSender() {
  {
    zy::MutexLock lock(&mMu);
    mStop = true;
    mCv.signalAll();
  }
  mThread.join();
}

uint32_t LiveFrameSender::offer(const void* jpeg, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(jpeg);
  zy::MutexLock lock(&mMu);
  if (mWaiting) ++mDropped;
  // Into the replaced frame's buffer: while the host is slow, the frame that
  // waits is held once, never beside the one replacing it. Its room grows in
  // 64 KiB steps, so that a frame a little larger than the last (the scene
  // moves) reuses it instead of leaving a hole in the heap. A copy of a
  // frame is short against the sender's hold of the lock.
  if (mFrame.capacity() < size) mFrame.reserve((size | kRoomStep) + 1);
  mFrame.assign(bytes, bytes + size);
  mWaiting = true;
  ++mSequence;
  mCv.signalAll();
  return mSequence;
}

void LiveFrameSender::clear() {
  std::vector<uint8_t> old;
  zy::MutexLock lock(&mMu);
  if (mWaiting) ++mDropped;
  mWaiting = false;
  mFrame.swap(old);
}

uint64_t LiveFrameSender::dropped() const {
  zy::MutexLock lock(&mMu);
  return mDropped;
}

void LiveFrameSender::run() {
  for (;;) {
    {
      zy::MutexLock lock(&mMu);
      while (!mStop && !mWaiting) mCv.wait(&mMu);
      if (mStop) return;
    }
    // The host has not read the previous frame yet: let a newer one take
    // this one's place meanwhile rather than queue behind it.
    if (mHooks.unreadBytes() > 0) {
      zy::MutexLock lock(&mMu);
      mCv.waitUntil(&mMu, std::chrono::steady_clock::now() + kRecheck);
      continue;
    }
    std::vector<uint8_t> frame;
    uint32_t sequence;
    {
      zy::MutexLock lock(&mMu);
      if (mStop) return;
      if (!mWaiting) continue;  // cleared meanwhile
      frame.swap(mFrame);
      mWaiting = false;
      sequence = mSequence;
    }
    mHooks.send(sequence, std::move(frame));
  }
}

}  // namespace tether
