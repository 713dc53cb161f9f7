// Runs a user's command after each saved file: `sh -c 'CMD "$@"' PATH` with
// TETHER_ACTION=file_saved, TETHER_CAPTURE_ID and TETHER_FILE_KIND
// (thumbnail, dng, jpeg) in its environment, one at a time, on a thread of
// its own, so a slow hook never delays a download. Files wait in a bounded
// queue; when it is full the file's hook is dropped and that is said.
//
// Thread: an observer, called on the session's thread; the hooks run on the
// runner's thread. finish() waits for the queue to empty.
#ifndef TETHER_HOST_HOOK_RUNNER_H_
#define TETHER_HOST_HOOK_RUNNER_H_

#include <deque>
#include <functional>
#include <string>
#include <thread>

#include "host/client/TetherEvents.h"
#include "platform/Mutex.h"

namespace tether_host {

class HookRunner : public TetherObserver {
 public:
  static constexpr size_t kQueueLimit = 64;
  using Say = std::function<void(const std::string&)>;

  // `say` gets the runner's own lines (a dropped hook, a failed one); it
  // is called from either thread.
  HookRunner(std::string command, Say say);
  ~HookRunner() override;  // finish()

  void fileSaved(const FileSaved& file) override;
  // Runs what is queued, then stops the thread. Idempotent.
  void finish();
  int dropped() const { return mDropped; }
  // Hooks queued or running now. Any thread.
  size_t pending();

 private:
  struct Job {
    std::string path;
    int captureId;
    FileKind kind;
  };
  void work();
  void runOne(const Job& job);

  std::string mCommand;
  Say mSay;
  zy::Mutex mMutex;
  zy::CondVar mChanged;
  std::deque<Job> mQueue GUARDED_BY(mMutex);
  bool mStopping GUARDED_BY(mMutex) = false;
  bool mRunning GUARDED_BY(mMutex) = false;  // a hook is running
  int mDropped = 0;        // the session's thread only
  std::thread mThread;
};

}  // namespace tether_host

#endif  // TETHER_HOST_HOOK_RUNNER_H_
