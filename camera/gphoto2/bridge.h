// The camera SDK (KRV_SDK.h) over libgphoto2. One worker thread owns
// libgphoto2: it opens the camera the environment chooses, watches its
// events, triggers captures, downloads files and calls every callback. The
// exported functions queue requests to it and answer property reads from
// the settings it keeps, so that a callback may call back into the SDK.
// Choices are answered from what the worker read last; a set is queued to
// it and confirmed through the changes callback; starting or stopping live
// view waits a bounded time for it. Live frames come from
// gp_camera_capture_preview between event waits, paused by a capture.
//
// Environment: KRV_GPHOTO_CAMERA (camera_choice.h), KRV_GPHOTO_DELETE=1
// (delete a picture from the card once its download is verified),
// KRV_GPHOTO_CAPTURE_TIMEOUT_MS (how long a triggered capture may take to
// show its first file; 30000 by default). See doc/cameras.md.
#ifndef KRV_GPHOTO_BRIDGE_H_
#define KRV_GPHOTO_BRIDGE_H_

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "camera/KRV_SDK.h"
#include "camera/gphoto2/camera_choice.h"
#include "camera/gphoto2/camera_link.h"
#include "camera/gphoto2/capture_files.h"
#include "camera/gphoto2/setting_choices.h"
#include "platform/Mutex.h"

namespace krv_gphoto {

class HotplugMonitor;

class Bridge {
 public:
  static Bridge& instance();

  bool init(KRV_SDK_DeviceCallback callback, void* context);
  bool setFrameCallback(KRV_SDK_FrameCallback callback, void* context);
  bool setChangesCallback(KRV_SDK_ChangesCallback callback, void* context);
  bool getProperty(int id, void* buffer, unsigned int size);
  bool setProperty(int id, const void* value, unsigned int size);
  bool capture();
  // The choices of a setting as the worker last read them (at connection,
  // every few seconds, and at each set); -1 without a camera or choices.
  int getChoices(int id, void* values, unsigned int capacity, unsigned int* flags);
  bool startLiveView();
  bool stopLiveView();
  bool requestClose();
  // Stops the worker, waiting at most about 1.8 s for it (then it is left to
  // end with the process); no callback comes once it returns.
  bool exit();

  // Runs `job` on the worker, in order with the other requests. False when
  // the bridge is not running. Settings and live-view requests go here.
  using Job = std::function<void()>;
  bool post(Job job);

 private:
  using Clock = std::chrono::steady_clock;

  Bridge() = default;
  // Runs `job` on the worker and waits at most kAskWait for its result;
  // nullopt when the bridge is not running or the worker is busy longer.
  // A job that has not started by then is skipped. From the worker itself
  // (a callback calling back), runs it at once.
  template <typename T>
  std::optional<T> ask(std::function<T()> job);
  // Checks the value against the choices and queues the set; its outcome
  // reaches the changes callback as the value the camera holds afterwards.
  bool setSetting(int id, const void* value, unsigned int size);
  void applySetting(size_t row, double wanted);
  void readChoices();
  void livePreview();
  void run();
  void runJobs();
  void idle(Clock::time_point start);
  // Sleeps at most `timeout` for a request, a hotplug event or a readable
  // camera socket; true for the last.
  bool waitForWake(Clock::duration timeout, const std::vector<int>& cameraFds);
  void tryOpen();
  void lose(const char* why);
  void closeCamera();
  void handleEvent(const CameraEvent& event);
  void trigger();
  void deliver(const Capture& capture);
  bool fetch(const CameraFile& file, Download* out);
  void propertyChanged(uint16_t code);
  // The setting `id` as `now` holds it, through the changes callback.
  void reportSetting(int id, const Settings& now);
  // No callback after this returns (except the one calling, on the worker).
  void stopCallbacks(bool onWorker);
  void deviceCallback(bool connected);
  void frame(int state, const void* data, unsigned int size);
  void changed(int id, const void* data, unsigned int size);

  zy::Mutex mMu;
  bool mRunning GUARDED_BY(mMu) = false;
  std::deque<Job> mJobs GUARDED_BY(mMu);
  KRV_SDK_DeviceCallback mDevice GUARDED_BY(mMu) = nullptr;
  void* mDeviceContext GUARDED_BY(mMu) = nullptr;
  KRV_SDK_FrameCallback mFrame GUARDED_BY(mMu) = nullptr;
  void* mFrameContext GUARDED_BY(mMu) = nullptr;
  KRV_SDK_ChangesCallback mChanges GUARDED_BY(mMu) = nullptr;
  void* mChangesContext GUARDED_BY(mMu) = nullptr;
  // What getProperty answers: the open camera's name and settings.
  bool mConnected GUARDED_BY(mMu) = false;
  std::string mName GUARDED_BY(mMu);
  Settings mSettings GUARDED_BY(mMu);
  int32_t mFileFormat GUARDED_BY(mMu) = 0;
  uint8_t mHostAccepted GUARDED_BY(mMu) = 0;
  SettingChoices mChoices[4] GUARDED_BY(mMu);  // by kSettingRows' order

  // Held while a callback runs, so that exit() can wait for it to return.
  zy::Mutex mDeliverMu;
  std::atomic<bool> mCallbacksOff{false};

  std::atomic<bool> mStop{false};
  std::atomic<bool> mWorkerDone{false};
  bool mWorkerStarted GUARDED_BY(mMu) = false;
  std::thread mWorker;
  int mWake[2] = {-1, -1};  // a byte in it wakes the worker

  // The worker's alone.
  CameraChoice mChoice;
  bool mDeleteAfterDownload = false;
  Clock::duration mCaptureTimeout = std::chrono::seconds(30);
  CameraLink* mLink = nullptr;
  HotplugMonitor* mHotplug = nullptr;
  CaptureAssembler mAssembler{std::chrono::milliseconds(500)};
  bool mClosedByHost = false;
  std::string mLastOpenError;
  Clock::time_point mNextProbe;
  int mTriggerRetries = 0;  // left for a camera that answers busy
  Clock::time_point mTriggerAt;
  bool mCaptureDue = false;
  Clock::time_point mCaptureDeadline;
  Clock::time_point mNextChoicesRead;
  bool mCameraSpoke = false;   // the last idle wait ended on a camera socket
  int mQuietWakes = 0;         // such wakes in a row that brought no event
  bool mLive = false;          // live view on: previews interleave with events
  Clock::time_point mNextPreview;
  int mPreviewFailures = 0;    // in a row; -1 before a start's first frame
};

}  // namespace krv_gphoto

#endif  // KRV_GPHOTO_BRIDGE_H_
