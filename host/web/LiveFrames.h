// The newest live view frame, for every page at once: one slot that each
// frame replaces. A page asks for a frame newer than the one it last
// painted and waits for it, so a page that paints slowly gets fewer frames,
// never older ones, and nothing queues anywhere on its behalf. Memory: the
// newest frame, plus an older one for as long as a page is still being sent
// it (frames are shared, never copied per page).
//
// Thread: any. put() and the state changes come from the session's thread;
// newerThan() from the server's request threads.
#ifndef TETHER_HOST_WEB_LIVE_FRAMES_H_
#define TETHER_HOST_WEB_LIVE_FRAMES_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Mutex.h"

namespace tether_host {

class LiveFrames {
 public:
  struct Frame {
    uint32_t sequence = 0;
    std::shared_ptr<const std::string> jpeg;
  };
  enum class Wait { kFrame, kTimeout, kOff };

  // At most `maxWaiters` requests wait at once (each holds a server
  // thread); the others are answered at once.
  explicit LiveFrames(size_t maxWaiters) : mMaxWaiters(maxWaiters) {}

  // Live view started or ended; ending it drops the frame and wakes every
  // waiting page.
  void setRunning(bool running);
  bool running() const;
  void put(uint32_t sequence, std::shared_ptr<const std::string> jpeg);
  // The newest frame when its number is above `after`, waiting up to
  // `waitMs` for one; kOff when live view is off (or ends meanwhile) or
  // the server is closing.
  Wait newerThan(uint32_t after, int waitMs, Frame* out);
  // Wakes every waiter for good (the server is stopping).
  void close();

 private:
  const size_t mMaxWaiters;
  mutable zy::Mutex mMutex;
  zy::CondVar mChanged;
  bool mRunning GUARDED_BY(mMutex) = false;
  bool mClosed GUARDED_BY(mMutex) = false;
  size_t mWaiters GUARDED_BY(mMutex) = 0;
  Frame mNewest GUARDED_BY(mMutex);
};

}  // namespace tether_host

#endif  // TETHER_HOST_WEB_LIVE_FRAMES_H_
