#include "host/web/LiveFrames.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
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
  for (Waiter* w : mWaiters) {
    if (!w->answered && sequence > w->after) answerLocked(w);
  }
  mChanged.signalAll();
}

// One non-blocking write of head and frame together; what the socket did
// not take (all of it, on EAGAIN) is left to the waiter's own thread.
void LiveFrames::answerLocked(Waiter* w) {
  w->answered = true;
  w->got.frame = mNewest;
  if (w->socket < 0 || w->head == nullptr) {
    w->got.kind = Got::Kind::kFrame;
    return;
  }
  w->got.head = w->head(mNewest);
  const std::string& jpeg = *mNewest.jpeg;
  iovec parts[2] = {{const_cast<char*>(w->got.head.data()), w->got.head.size()},
                    {const_cast<char*>(jpeg.data()), jpeg.size()}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  const ssize_t n = sendmsg(w->socket, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
  w->got.kind = n > 0 ? Got::Kind::kSent : Got::Kind::kFrame;
  w->got.sent = n > 0 ? static_cast<size_t>(n) : 0;
}

LiveFrames::Got LiveFrames::newerThan(uint32_t after, int waitMs, int socket, HeadFor head) {
  zy::MutexLock lock(&mMutex);
  Waiter self{after, socket, head, Got(), false};
  if (!newerLocked(after) && mRunning && !mClosed && mWaiters.size() < mMaxWaiters) {
    mWaiters.push_back(&self);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!self.answered && mRunning && !mClosed) {
      if (!mChanged.waitUntil(&mMutex, deadline)) break;
    }
    mWaiters.erase(std::find(mWaiters.begin(), mWaiters.end(), &self));
    if (self.answered) return std::move(self.got);  // partly written: the rest is ours
  }
  Got got;
  if (!mRunning || mClosed) {
    got.kind = Got::Kind::kOff;
  } else if (newerLocked(after)) {
    got.kind = Got::Kind::kFrame;
    got.frame = mNewest;
  }
  return got;
}

size_t LiveFrames::waiting() const {
  zy::MutexLock lock(&mMutex);
  return mWaiters.size();
}

void LiveFrames::close() {
  zy::MutexLock lock(&mMutex);
  mClosed = true;
  mChanged.signalAll();
}

}  // namespace tether_host
