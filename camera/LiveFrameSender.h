// Carries the camera's live frames to the host on a thread of its own, so
// that a host reading slowly gets fewer frames, never older ones, and never
// holds up the camera or the messages that matter more (captures, settings,
// replies). One frame waits at most: a newer one replaces it. A frame is
// written only once the host has read everything before it, so at most one
// more sits unread in the pipe.
//
// Thread: offer() and clear() from any thread; the hooks are called on the
// sender's own thread, never under its lock. The destructor joins that
// thread: it must not run inside a hook.
#ifndef TETHER_CAMERA_LIVE_FRAME_SENDER_H_
#define TETHER_CAMERA_LIVE_FRAME_SENDER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "platform/Mutex.h"

namespace tether {

class LiveFrameSender {
 public:
  struct Hooks {
    // Bytes the host has not read yet from what was sent; < 0 when that
    // cannot be told (the frame is then written at once).
    std::function<long()> unreadBytes;
    // Writes one frame to the host. The frame is the hook's: freeing it
    // before a long write means the task holds it once, not twice.
    std::function<void(uint32_t sequence, std::vector<uint8_t> jpeg)> send;
  };

  explicit LiveFrameSender(Hooks hooks);
  ~LiveFrameSender();
  LiveFrameSender(const LiveFrameSender&) = delete;
  LiveFrameSender& operator=(const LiveFrameSender&) = delete;

  // Takes a copy of a frame, numbered in the order offered (from 1), and
  // replaces any frame still waiting. Returns its number.
  uint32_t offer(const void* jpeg, size_t size) EXCLUDES(mMu);
  // Forgets the waiting frame; numbering goes on.
  void clear() EXCLUDES(mMu);
  // Frames replaced or cleared before they were written.
  uint64_t dropped() const EXCLUDES(mMu);

 private:
  void run() EXCLUDES(mMu);

  const Hooks mHooks;
  mutable zy::Mutex mMu;
  zy::CondVar mCv;
  bool mStop GUARDED_BY(mMu) = false;
  bool mWaiting GUARDED_BY(mMu) = false;
  uint32_t mSequence GUARDED_BY(mMu) = 0;  // of the newest frame offered
  std::vector<uint8_t> mFrame GUARDED_BY(mMu);
  uint64_t mDropped GUARDED_BY(mMu) = 0;
  std::thread mThread;
};

}  // namespace tether

#endif  // TETHER_CAMERA_LIVE_FRAME_SENDER_H_
