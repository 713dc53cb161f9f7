// The newest live view frame, for every page at once: one slot that each
// frame replaces. A page asks for a frame newer than the one it last
// painted and waits for it, so a page that paints slowly gets fewer frames,
// never older ones, and nothing queues anywhere on its behalf. Memory: the
// newest frame, plus an older one for as long as a page is still being sent
// it (frames are shared, never copied per page).
//
// A waiting request may leave its socket: the frame's response is then
// written to it by put() itself, without blocking and as far as the socket
// takes it, so that a frame reaches the page without first waking the
// request's thread (which writes any rest). At most `maxWaiters` wait.
//
// Thread: any. put() and the state changes come from the session's thread;
// newerThan() from the server's request threads.
#ifndef TETHER_HOST_WEB_LIVE_FRAMES_H_
#define TETHER_HOST_WEB_LIVE_FRAMES_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Mutex.h"

namespace tether_host {

class LiveFrames {
 public:
  struct Frame {
    uint32_t sequence = 0;
    std::shared_ptr<const std::string> jpeg;
  };
  // A frame's whole response head, for a request answered from put().
  using HeadFor = std::string (*)(const Frame& frame);
  // What a wait ended with. kSent: the frame's response (*head, then the
  // frame) is written to the socket up to *sent bytes; the caller writes
  // the rest.
  struct Got {
    enum class Kind { kFrame, kSent, kTimeout, kOff } kind = Kind::kTimeout;
    Frame frame;
    std::string head;
    size_t sent = 0;
  };

  explicit LiveFrames(size_t maxWaiters) : mMaxWaiters(maxWaiters) {}

  // Live view started or ended; ending it drops the frame and wakes every
  // waiting page.
  void setRunning(bool running);
  bool running() const;
  void put(uint32_t sequence, std::shared_ptr<const std::string> jpeg);
  // The newest frame when its number is above `after`, waiting up to
  // `waitMs` for one; kOff when live view is off (or ends meanwhile) or
  // the server is closing. With `socket` >= 0 (non-blocking, not written
  // to by anyone else while this waits) and `head`, a frame that comes
  // while waiting may be written to it at once (kSent).
  Got newerThan(uint32_t after, int waitMs, int socket = -1, HeadFor head = nullptr);
  // Requests waiting now.
  size_t waiting() const;
  // Wakes every waiter for good (the server is stopping).
  void close();

 private:
  struct Waiter {
    uint32_t after;
    int socket;
    HeadFor head;
    Got got;
    bool answered = false;
  };
  void answerLocked(Waiter* w) REQUIRES(mMutex);
  bool newerLocked(uint32_t after) const REQUIRES(mMutex) {
    return mNewest.jpeg && mNewest.sequence > after;
  }

  const size_t mMaxWaiters;
  mutable zy::Mutex mMutex;
  zy::CondVar mChanged;
  bool mRunning GUARDED_BY(mMutex) = false;
  bool mClosed GUARDED_BY(mMutex) = false;
  std::vector<Waiter*> mWaiters GUARDED_BY(mMutex);  // each on its request's stack
  Frame mNewest GUARDED_BY(mMutex);
};

}  // namespace tether_host

#endif  // TETHER_HOST_WEB_LIVE_FRAMES_H_
