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
// Locking. mMu guards everything below marked "mMu"; it is never held while a
// callback runs, so callbacks may call any SDK function (including exit()) and
// the main thread may call into the SDK while a callback is running.
// mLifecycleMu serialises init() and exit().
#ifndef KRV_SIM_SIMULATOR_H_
#define KRV_SIM_SIMULATOR_H_

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "camera/KRV_SDK.h"
#include "camera/simulator/capture_events.h"

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

// The simulated camera as the SDK sees it. Guarded by Simulator::mMu.
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
  bool init(KRV_SDK_DeviceCallback callback, void* context);
  bool setFrameCallback(KRV_SDK_FrameCallback callback, void* context);
  bool setChangesCallback(KRV_SDK_ChangesCallback callback, void* context);
  bool getProperty(int id, void* buffer, unsigned int size);
  bool setProperty(int id, const void* value, unsigned int size);
  bool capture();
  bool requestClose();
  // Stops the control socket and the worker and returns once no callback is
  // running any more (other than the caller's own, when called from one).
  // Idempotent; callable from any thread, including from a callback.
  bool exit();

  // ---- Control interface (control socket thread).
  // Runs `task` on the worker after all work posted before it and waits for
  // it. False (with *error) if the SDK is not running, stops meanwhile, or the
  // task is not done within `timeout`.
  bool postAndWait(Task task, std::chrono::milliseconds timeout, std::string* error);
  // Runs `fn` with mMu held; `fn` must not call into the Simulator.
  // False if the SDK is not running.
  bool withState(const std::function<void(CameraState&)>& fn);
  // Takes the next capture's snapshot if a camera is connected.
  bool takeCaptureSnapshot(CaptureSnapshot* snapshot);
  // "init=1 setFrameCallback=0 ..." for the whole life of the process.
  std::string countsLine() const;
  void resetCounts();

  // ---- Steps run by tasks or synchronously. Each checks that `session` is
  // still the running one before it calls a callback.
  void connectCamera(uint64_t session, int model);
  // Disconnects and reports `reported` (default: the connected model). Unless
  // `always`, does nothing when no camera is connected.
  void disconnectCamera(uint64_t session, std::optional<int> reported, bool always);
  void deliverFrame(uint64_t session, int state, const void* data, unsigned int size);
  void deliverChange(uint64_t session, int id, const void* data, unsigned int size);
  void deliverCapture(uint64_t session, const CaptureSnapshot& snapshot);

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
  bool sessionRunning(uint64_t session) const;
  void count(SdkCall call) { mCounts[static_cast<size_t>(call)].fetch_add(1); }
  void workerLoop(uint64_t session);
  // Enqueues `task` for the running session; returns its ticket. mMu held.
  uint64_t postLocked(Task task);
  // Brackets one callback: Begin (mMu held) fails once `session` is over.
  bool beginCallbackLocked(uint64_t session);
  void endCallback();
  bool takeCaptureSnapshotLocked(CaptureSnapshot* snapshot);

  std::mutex mLifecycleMu;  // serialises init/exit; taken before mMu

  mutable std::mutex mMu;
  std::condition_variable mCv;  // worker wake-ups, ticket completion, callback ends
  bool mRunning = false;        // mMu
  uint64_t mSession = 0;        // mMu; bumped by every init()
  CameraState mState;           // mMu
  std::string mCountsPath;      // mLifecycleMu; KRV_SIM_COUNTS_FILE of this session
  KRV_SDK_DeviceCallback mDeviceCallback = nullptr;    // mMu
  void* mDeviceContext = nullptr;                      // mMu
  KRV_SDK_FrameCallback mFrameCallback = nullptr;      // mMu
  void* mFrameContext = nullptr;                       // mMu
  KRV_SDK_ChangesCallback mChangesCallback = nullptr;  // mMu
  void* mChangesContext = nullptr;                     // mMu
  std::deque<Queued> mQueue;       // mMu; ready work in order
  std::vector<Timer> mTimers;      // mMu; work that becomes ready later
  uint64_t mNextTicket = 1;        // mMu
  uint64_t mDoneTicket = 0;        // mMu; tickets up to here are done
  int mInFlight = 0;               // mMu; callbacks running now
  std::thread mWorker;             // mLifecycleMu (and mMu when moved)
  std::unique_ptr<ControlServer> mServer;  // mLifecycleMu

  std::array<std::atomic<uint64_t>, kSdkCallCount> mCounts{};
};

}  // namespace krv_sim

#endif  // KRV_SIM_SIMULATOR_H_
