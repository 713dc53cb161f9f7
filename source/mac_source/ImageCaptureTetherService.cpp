#include "source/mac_source/ImageCaptureTetherService.h"

#include <QCoreApplication>
#include <QEventLoop>

#include "platform/Log.h"

namespace {
// How often Qt's events are drained; it bounds how late the settings damper
// reports once the main loop is idle.
constexpr double kTickInterval = 0.05;
// Upper bound of each drain of the stop sequence.
constexpr int kStopDrainMilliseconds = 5000;
}  // namespace

ImageCaptureTetherService::ImageCaptureTetherService(TaskScheduler& scheduler)
    : mCameras(std::make_unique<zy::Array>()),
      mPendingItems(std::make_unique<zy::Dictionary>()),
      mScheduler(scheduler) {
  mLastImageId = 0;
  mTetherQt.init();
  mTickTimer = mScheduler.scheduleRepeatingTimer(kTickInterval, [this] { tick(); });
}

ImageCaptureTetherService::~ImageCaptureTetherService() { mScheduler.invalidateTimer(mTickTimer); }

void ImageCaptureTetherService::tick() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void ImageCaptureTetherService::listDevicesWithMessageId(int32_t, ZyLuaTE*) {}
void ImageCaptureTetherService::getDeviceInfoWithMessageId(int32_t, ZyLuaTE*) {}
void ImageCaptureTetherService::connectDeviceWithMessageId(int32_t, ZyLuaTE*) {}
void ImageCaptureTetherService::disconnectDeviceWithMessageId(int32_t, ZyLuaTE*) {}

void ImageCaptureTetherService::doCaptureWithMessageId(int32_t, ZyLuaTE*) { mTetherQt.capture(); }

void ImageCaptureTetherService::downloadThumbnailWithMessageId(int32_t, ZyLuaTE*) {}

void ImageCaptureTetherService::getCaptureInfoWithMessageId(int32_t, ZyLuaTE*) {
  zy::Log("getCaptureInfoWithMessageId");
}

void ImageCaptureTetherService::startDownloadWithMessageId(int32_t, ZyLuaTE*) {
  zy::Log("startDownloadWithMessageId");
}

void ImageCaptureTetherService::getCameraSettingsWithMessageId(int32_t messageId, ZyLuaTE* data) {
  mTetherQt.getCameraSettingsWithMessageId(messageId, data);
}

void ImageCaptureTetherService::getCameraChoicesWithMessageId(int32_t messageId, ZyLuaTE* data) {
  mTetherQt.getCameraChoicesWithMessageId(messageId, data);
}

void ImageCaptureTetherService::setCameraSettingsWithMessageId(int32_t messageId, ZyLuaTE* data) {
  mTetherQt.setCameraSettingsWithMessageId(messageId, data);
}

void ImageCaptureTetherService::startLiveViewWithMessageId(int32_t messageId, ZyLuaTE* data) {
  mTetherQt.startLiveViewWithMessageId(messageId, data);
}

void ImageCaptureTetherService::stopLiveViewWithMessageId(int32_t messageId, ZyLuaTE* data) {
  mTetherQt.stopLiveViewWithMessageId(messageId, data);
}

void ImageCaptureTetherService::cancelAllRemainingDownloads() {
  mTetherQt.deinit();
  QCoreApplication::processEvents(QEventLoop::AllEvents, kStopDrainMilliseconds);
  mTetherQt.exit();
  QCoreApplication::processEvents(QEventLoop::AllEvents, kStopDrainMilliseconds);
}
