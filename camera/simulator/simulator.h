// The simulated camera SDK: one process-wide instance behind the KRV_SDK_*
// C functions, plus the control interface that the control socket drives.
//
// Threads. init() starts a worker thread that delivers the device callback and,
// unless synchronous callbacks are on, the frame and changes callbacks. With
// synchronous callbacks, capture() and setProperty() call the frame/changes
// callbacks on the caller's thread before they return. The control socket has
// a thread of its own that never calls a callback itself: it posts work to the
// worker and waits for it.
//
// Locking. mMu guards the fields marked GUARDED_BY(mMu); it is never held
// while a callback runs, so callbacks may call any SDK function (including
// exit()) and the main thread may call into the SDK while a callback is
// running. mLifecycleMu serialises init() and exit().
#ifndef KRV_SIM_SIMULATOR_H_
#define KRV_SIM_SIMULATOR_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "camera/KRV_SDK.h"
#include "camera/simulator/capture_events.h"
#include "camera/simulator/sim_config.h"
#include "platform/Mutex.h"

namespace krv_sim {

class ControlServer;

enum class SdkCall {
  kInit,
  kSetFrameCallback,
  kSetChangesCallback,
  kGetProperty,
  kSetProperty,
  kCapture,
  kRequestClose,
  kExit,
};
constexpr size_t kSdkCallCount = 8;

// The simulated camera as the SDK sees it (Simulator::mState, under its mMu).
struct CameraState {
  int model = 0;  // connected camera's model id; 0 = none
  double aperture = 5.6;
  double shutter = 1.0 / 125.0;
  int32_t iso = 400;
  int32_t fileFormat = 0;
  uint8_t hostAccepted = 0;
  int32_t whiteBalance = 1;

  bool failAllReads = false;
  std::set<int> failingReads;

  bool sendOrientation = true;
  int32_t orientation = 1;
  bool sendName = true;
  std::string namePattern = "IMG_####.JPG";
  bool nulTerminatedName = false;

  int width = 640, height = 480;  // JPEG size
  uint64_t dngBytes = 0;          // > 0: DNG raw size derived from it
  int jpegQuality = 85;
  unsigned captures = 0;          // captures taken this session
  bool syncCallbacks = false;

  // Settings the camera takes no value for now (its mode), and settings it
  // refuses to change (a fault), both by property id.
  std::set<int> readOnly;
  std::set<int> refusing;

  // Live view: frames of the scene at liveFps, liveWidth x liveHeight.
  bool liveView = false;
  int liveFps = 20;
  int liveWidth = 640, liveHeight = 480;
  bool liveStamp = false;
  unsigned liveFrames = 0;  // frames rendered this session; the scene moves with it
  uint64_t liveGeneration = 0;  // bumped by every start and stop, ends stale ticks
};

// Property values as bytes, by id; false for an unknown id. The widths are
// those of KRV_SDK.h.
bool ReadPropertyBytes(const CameraState& state, int id, std::vector<uint8_t>* bytes);
// Stores `size` bytes as property `id`; false for an unknown id or wrong size.
bool WritePropertyBytes(CameraState* state, int id, const void* value, unsigned int size);

class Simulator {
 public:
  // A unit of work for the worker thread; gets the session it was posted in.
  using Task = std::function<void(uint64_t session)>;

  // The library's one instance. Never destroyed: a task that never calls
  // KRV_SDK_exit must not have its worker thread trip over a destroyed object
  // while the process ends.
  static Simulator& instance();

  // ---- SDK entry points, with the semantics of KRV_SDK.h.
  bool init(KRV_SDK_DeviceCallback callback, void* context) EXCLUDES(mLifecycleMu, mMu);
  bool setFrameCallback(KRV_SDK_FrameCallback callback, void* context) EXCLUDES(mMu);
  bool setChangesCallback(KRV_SDK_ChangesCallback callback, void* context) EXCLUDES(mMu);
  bool getProperty(int id, void* buffer, unsigned int size) EXCLUDES(mMu);
  bool setProperty(int id, const void* value, unsigned int size) EXCLUDES(mMu);
  bool capture() EXCLUDES(mMu);
  bool requestClose() EXCLUDES(mMu);
  int getChoices(int id, void* values, unsigned int capacity, unsigned int* flags) EXCLUDES(mMu);
  bool startLiveView() EXCLUDES(mMu);
  bool stopLiveView() EXCLUDES(mMu);
  // Delivers the events already queued (a disconnection a close asked for,
  // captures, changes; not a connection still to come), then stops the
  // control socket and the worker and returns once no callback is running
  // any more. Called from inside a callback it delivers nothing more (the
  // worker may be the caller itself) and does not wait for its own callback.
  // Idempotent; callable from any thread.
  bool exit() EXCLUDES(mLifecycleMu, mMu);

  // ---- Control interface (control socket thread).
  // Runs `task` on the worker after all work posted before it and waits for
  // it. False (with *error) if the SDK is not running or stopping, stops
  // meanwhile, or the task is not done within `timeout`.
  bool postAndWait(Task task, std::chrono::milliseconds timeout, std::string* error)
      EXCLUDES(mMu);
  // Runs `fn` with mMu held; `fn` must not call into the Simulator.
  // False if the SDK is not running. (The analysis checks the lock here, not
  // what `fn` does with the state it is handed.)
  bool withState(const std::function<void(CameraState&)>& fn) EXCLUDES(mMu);
  // Takes the next capture's snapshot if a camera is connected.
  bool takeCaptureSnapshot(CaptureSnapshot* snapshot) EXCLUDES(mMu);
  // "init=1 setFrameCallback=0 ..." for the whole life of the process.
  std::string countsLine() const;
  void resetCounts();

  // ---- Steps run by tasks or synchronously. Each checks that `session` is
  // still the running one before it calls a callback.
  void connectCamera(uint64_t session, int model) EXCLUDES(mMu);
  // Disconnects and reports `reported` (default: the connected model). Unless
  // `always`, does nothing when no camera is connected.
  void disconnectCamera(uint64_t session, std::optional<int> reported, bool always)
      EXCLUDES(mMu);
  void deliverFrame(uint64_t session, int state, const void* data, unsigned int size)
      EXCLUDES(mMu);
  void deliverChange(uint64_t session, int id, const void* data, unsigned int size)
      EXCLUDES(mMu);
  void deliverCapture(uint64_t session, const CaptureSnapshot& snapshot) EXCLUDES(mMu);

 private:
  struct Timer {
    std::chrono::steady_clock::time_point due;
    Task task;
  };
  struct Queued {
    uint64_t ticket;
    Task task;
  };

  Simulator() = default;
  void count(SdkCall call) { mCounts[static_cast<size_t>(call)].fetch_add(1); }

  // init() in steps.
  void reapWorker() REQUIRES(mLifecycleMu);
  uint64_t startSession(const SimConfig& config, KRV_SDK_DeviceCallback callback, void* context)
      REQUIRES(mLifecycleMu) EXCLUDES(mMu);
  void startControlServer(const std::string& path) REQUIRES(mLifecycleMu);
  // exit() in steps.
  void deliverQueued() EXCLUDES(mLifecycleMu, mMu);
  bool stopSession() REQUIRES(mLifecycleMu) EXCLUDES(mMu);  // false if none was running
  void stopServerAndWorker() REQUIRES(mLifecycleMu) EXCLUDES(mMu);
  void forgetCallbacksOnceIdle() EXCLUDES(mMu);
  void writeCounts() REQUIRES(mLifecycleMu);

  bool sessionRunning(uint64_t session) const EXCLUDES(mMu);
  // True while new work may be queued: running and no exit() under way.
  bool acceptsWorkLocked() const REQUIRES(mMu) { return mRunning && !mStopping; }
  void workerLoop(uint64_t session) EXCLUDES(mMu);
  // Moves the timers that are due into the queue.
  void queueDueTimersLocked() REQUIRES(mMu);
  // Waits for work or for the next timer; mMu is released meanwhile.
  void waitForWorkLocked() REQUIRES(mMu);
  // Enqueues `task` for the running session; returns its ticket.
  uint64_t postLocked(Task task) REQUIRES(mMu);
  // Brackets one callback: begin fails once `session` is over.
  bool beginCallbackLocked(uint64_t session) REQUIRES(mMu);
  void endCallback() EXCLUDES(mMu);
  bool takeCaptureSnapshotLocked(CaptureSnapshot* snapshot) REQUIRES(mMu);
  // Renders and delivers one live frame, then schedules the next while live
  // view of `generation` lasts.
  void liveFrameTick(uint64_t session, uint64_t generation) EXCLUDES(mMu);
  void scheduleLiveFrameLocked(uint64_t generation, bool now) REQUIRES(mMu);

  zy::Mutex mLifecycleMu ACQUIRED_BEFORE(mMu);  // serialises init/exit

  mutable zy::Mutex mMu;
  zy::CondVar mCv;  // worker wake-ups, ticket completion, callback ends
  bool mRunning GUARDED_BY(mMu) = false;
  bool mStopping GUARDED_BY(mMu) = false;  // exit() is delivering the queue
  uint64_t mSession GUARDED_BY(mMu) = 0;   // bumped by every init()
  CameraState mState GUARDED_BY(mMu);
  std::string mCountsPath GUARDED_BY(mLifecycleMu);  // KRV_SIM_COUNTS_FILE of this session
  KRV_SDK_DeviceCallback mDeviceCallback GUARDED_BY(mMu) = nullptr;
  void* mDeviceContext GUARDED_BY(mMu) = nullptr;
  KRV_SDK_FrameCallback mFrameCallback GUARDED_BY(mMu) = nullptr;
  void* mFrameContext GUARDED_BY(mMu) = nullptr;
  KRV_SDK_ChangesCallback mChangesCallback GUARDED_BY(mMu) = nullptr;
  void* mChangesContext GUARDED_BY(mMu) = nullptr;
  std::deque<Queued> mQueue GUARDED_BY(mMu);     // ready work in order
  std::vector<Timer> mTimers GUARDED_BY(mMu);    // work that becomes ready later
  uint64_t mNextTicket GUARDED_BY(mMu) = 1;
  uint64_t mDoneTicket GUARDED_BY(mMu) = 0;      // tickets up to here are done
  int mInFlight GUARDED_BY(mMu) = 0;             // callbacks running now
  std::thread mWorker GUARDED_BY(mLifecycleMu);
  std::unique_ptr<ControlServer> mServer GUARDED_BY(mLifecycleMu);

  std::array<std::atomic<uint64_t>, kSdkCallCount> mCounts{};  // lock-free on purpose
};

}  // namespace krv_sim

#endif  // KRV_SIM_SIMULATOR_H_
