// The delegate's start-up, its reactions to the accumulator and to
// termination, and the dispatch of the host's commands. Main thread only.
#include <fcntl.h>

#include <optional>
#include <string>

#include "platform/Application.h"
#include "platform/FileHandle.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "source/ProtocolNames.h"
#include "source/ZyLuaTableMarshalling.h"
#include "source/mac_source/ImageCaptureTetherService.h"
#include "source/mac_source/TetherTask.h"
#include "source/mac_source/ZyRCMessageAccumulator.h"

namespace proto = tether::proto;

namespace {

// How long a formed message waits before the queue is dispatched.
constexpr double kDispatchDelay = 0.1;

// The output pipe's room: a whole live frame fits. Frames are written only
// into an empty pipe, so with room for one the write returns at once, the
// task holds no frame but the one waiting, and no reply waits behind a
// half-written frame. 1 MiB is what Linux grants any user by default
// (/proc/sys/fs/pipe-max-size); a larger frame still goes out, blocking.
constexpr int kOutputPipeBytes = 1 << 20;

void WidenOutputPipe(int fd) {
  if (fcntl(fd, F_GETPIPE_SZ) >= kOutputPipeBytes) return;
  if (fcntl(fd, F_SETPIPE_SZ, kOutputPipeBytes) < 0) {
    zy::Log("Output pipe left at its size (not a pipe, or no room granted)");
  }
}

using Handler = void (ImageCaptureTetherService::*)(int32_t, ZyLuaTE*);

struct Command {
  const char* name;
  Handler handler;
};

// Inbound names, compared exactly (bytewise, case-sensitive), in this order.
// "shutdown" is handled by the task itself.
const Command kCommands[] = {
    {proto::kListDevices, &ImageCaptureTetherService::listDevicesWithMessageId},
    {proto::kGetDeviceInfo, &ImageCaptureTetherService::getDeviceInfoWithMessageId},
    {proto::kConnectDevice, &ImageCaptureTetherService::connectDeviceWithMessageId},
    {proto::kDisconnectDevice, &ImageCaptureTetherService::disconnectDeviceWithMessageId},
    {proto::kDoCapture, &ImageCaptureTetherService::doCaptureWithMessageId},
    {proto::kDownloadThumbnail, &ImageCaptureTetherService::downloadThumbnailWithMessageId},
    {proto::kGetCaptureInfo, &ImageCaptureTetherService::getCaptureInfoWithMessageId},
    {proto::kStartDownload, &ImageCaptureTetherService::startDownloadWithMessageId},
    {proto::kGetCameraSettings, &ImageCaptureTetherService::getCameraSettingsWithMessageId},
    {proto::kGetCameraChoices, &ImageCaptureTetherService::getCameraChoicesWithMessageId},
    {proto::kSetCameraSettings, &ImageCaptureTetherService::setCameraSettingsWithMessageId},
    {proto::kStartLiveView, &ImageCaptureTetherService::startLiveViewWithMessageId},
    {proto::kStopLiveView, &ImageCaptureTetherService::stopLiveViewWithMessageId},
};

}  // namespace

TetherTask::TetherTask() : _outputFileHandle(nullptr), _scheduler(TaskScheduler::mainLoop()) {
  _tetherService = new ImageCaptureTetherService(_scheduler);
  _outputFileHandle = zy::FileHandle::fileHandleWithStandardOutput();
  WidenOutputPipe(_outputFileHandle->fileDescriptor());
  _inputFileHandle = zy::FileHandle::fileHandleWithStandardInput();
  _messageAccumulator = new ZyRCMessageAccumulator(_inputFileHandle);

  zy::NotificationCenter& center = zy::NotificationCenter::defaultCenter();
  center.addObserver(
      this, [this](const zy::Notification& n) { notificationFromAccumulator(n); }, std::nullopt,
      _messageAccumulator);
  center.addObserver(
      this, [this](const zy::Notification& n) { willShutdown(n); },
      std::string(zy::kApplicationWillTerminateNotification), &zy::Application::shared());
}

TetherTask::~TetherTask() {
  unpublish();
  zy::NotificationCenter::defaultCenter().removeObserver(this);
  delete _messageAccumulator;
  delete _tetherService;
}

void TetherTask::notificationFromAccumulator(const zy::Notification& notification) {
  if (notification.name == kZyMessageIsAvailableNotification) {
    _scheduler.performAfterDelay(kDispatchDelay, [this] { dispatchMessages(); });
  } else if (notification.name == kZyReadHandleIsFinishedNotification) {
    zy::Application::shared().terminate(this);
  }
}

void TetherTask::willShutdown(const zy::Notification&) {
  zy::Log("application received willShutdown notification");
  if (_tetherService != nullptr) _tetherService->cancelAllRemainingDownloads();
}

void TetherTask::dispatchMessages() {
  if (_messageAccumulator == nullptr) return;
  while (CRCMessage* message = _messageAccumulator->getNextMessage()) {
    dispatchMessage(message);
    ZyDeleteMessage(message);
  }
}

void TetherTask::dispatchMessage(CRCMessage* message) {
  if (_tetherService == nullptr) return;
  const std::string name =
      message->messageName != nullptr ? static_cast<std::string>(*message->messageName) : "";
  zy::Log("Received message: %s", name.c_str());
  for (const Command& command : kCommands) {
    if (name == command.name) {
      (_tetherService->*command.handler)(message->messageId, message->messageData);
      return;
    }
  }
  if (name == proto::kShutdown) zy::Application::shared().terminate(this);
}
