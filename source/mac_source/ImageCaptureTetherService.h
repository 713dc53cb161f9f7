// The object behind the host's commands: holds the camera controller, passes
// capture and settings requests to it, drains Qt's events on the main run
// loop, and stops the camera when the task terminates.
//
// Main thread only. The delegate creates one service at start-up and keeps
// it until the process ends.
#ifndef IMAGE_CAPTURE_TETHER_SERVICE_H_
#define IMAGE_CAPTURE_TETHER_SERVICE_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "camera/Tether_qt.h"
#include "platform/Object.h"
#include "source/mac_source/TaskScheduler.h"

class ZyLuaTE;

class ImageCaptureTetherService {
 public:
  // Starts the camera SDK and the 0.05 s timer that drains Qt's events, on
  // `scheduler` (borrowed; it must outlive the service).
  explicit ImageCaptureTetherService(TaskScheduler& scheduler = TaskScheduler::mainLoop());
  ~ImageCaptureTetherService();
  ImageCaptureTetherService(const ImageCaptureTetherService&) = delete;
  ImageCaptureTetherService& operator=(const ImageCaptureTetherService&) = delete;

  // Drains Qt's pending events once (the controller's damper timer and its
  // queued slot run here, and nowhere else).
  void tick();

  // Command handlers. The payload is borrowed for the call and may be null.
  // Of the first ten, no handler reads it and only getCameraSettings replies.
  void listDevicesWithMessageId(int32_t messageId, ZyLuaTE* data);
  void getDeviceInfoWithMessageId(int32_t messageId, ZyLuaTE* data);
  void connectDeviceWithMessageId(int32_t messageId, ZyLuaTE* data);
  void disconnectDeviceWithMessageId(int32_t messageId, ZyLuaTE* data);
  void doCaptureWithMessageId(int32_t messageId, ZyLuaTE* data);
  void downloadThumbnailWithMessageId(int32_t messageId, ZyLuaTE* data);
  void getCaptureInfoWithMessageId(int32_t messageId, ZyLuaTE* data);
  void startDownloadWithMessageId(int32_t messageId, ZyLuaTE* data);
  void getCameraSettingsWithMessageId(int32_t messageId, ZyLuaTE* data);
  // Added later; each is always answered (see Tether_qt).
  void getCameraChoicesWithMessageId(int32_t messageId, ZyLuaTE* data);
  void setCameraSettingsWithMessageId(int32_t messageId, ZyLuaTE* data);
  void startLiveViewWithMessageId(int32_t messageId, ZyLuaTE* data);
  void stopLiveViewWithMessageId(int32_t messageId, ZyLuaTE* data);

  // The stop sequence: ask the SDK to close the camera, drain Qt events for
  // at most 5000 ms, shut the SDK down, drain again for at most 5000 ms.
  void cancelAllRemainingDownloads();

  Tether_qt& tetherQt() { return mTetherQt; }

 private:
  // Bookkeeping the service has always declared but no command uses yet.
  std::unique_ptr<zy::Array> mCameras;
  std::unique_ptr<zy::Dictionary> mPendingItems;
  std::unique_ptr<zy::Dictionary> mDownloadOptions;  // never assigned
  [[maybe_unused]] int32_t mLastImageId = 0;
  [[maybe_unused]] char mIgnoreNewFiles = 0;
  [[maybe_unused]] double mCameraConnectTime = 0;
  [[maybe_unused]] double mCameraOffset = 0;
  Tether_qt mTetherQt{nullptr};

  TaskScheduler& mScheduler;
  TaskScheduler::TimerId mTickTimer = 0;
};

#endif  // IMAGE_CAPTURE_TETHER_SERVICE_H_
