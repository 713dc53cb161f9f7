#include "host/session/CameraControl.h"

#include <time.h>

#include "source/ProtocolNames.h"

namespace tether_host {

namespace proto = tether::proto;

namespace {

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

CameraControl::Wait CameraControl::readOne(int64_t deadlineMs, HostMessage* message) {
  for (;;) {
    const int64_t left = deadlineMs - NowMs();
    if (left <= 0) return Wait::kTimeout;
    switch (mTask->read(message, static_cast<int>(left), mWakeFd)) {
      case TaskProcess::ReadStatus::kMessage:
        if (message->name == proto::kDeviceAdded) {
          mCamera = true;
          mCameraName = message->string(proto::kName).value_or("");
        } else if (message->name == proto::kDeviceRemoved) {
          mCamera = false;
        }
        return Wait::kDone;
      case TaskProcess::ReadStatus::kLogNews:
        continue;
      case TaskProcess::ReadStatus::kTimeout:
        return Wait::kTimeout;
      case TaskProcess::ReadStatus::kEndOfOutput:
        return Wait::kTaskEnded;
      case TaskProcess::ReadStatus::kBadFrame:
        return Wait::kBadFrame;
      case TaskProcess::ReadStatus::kInterrupted:
        return Wait::kInterrupted;
    }
  }
}

CameraControl::Wait CameraControl::waitForCamera(int timeoutMs) {
  const int64_t deadline = NowMs() + timeoutMs;
  HostMessage message;
  while (!mCamera) {
    const Wait w = readOne(deadline, &message);
    if (w != Wait::kDone) return w;
  }
  return Wait::kDone;
}

CameraControl::Wait CameraControl::request(const std::string& name, const ZyLuaTETable* payload,
                                           int timeoutMs, HostMessage* reply) {
  const int32_t id = mTask->send(name, payload);
  if (id < 0) return Wait::kTaskEnded;
  const int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    const Wait w = readOne(deadline, reply);
    if (w != Wait::kDone) return w;
    if (reply->name == proto::kOk && reply->id == id) return Wait::kDone;
  }
}

CameraControl::Wait CameraControl::nextFrame(int timeoutMs, std::vector<uint8_t>* jpeg,
                                             uint32_t* sequence, bool* stopped) {
  const int64_t deadline = NowMs() + timeoutMs;
  HostMessage message;
  *stopped = false;
  for (;;) {
    const Wait w = readOne(deadline, &message);
    if (w != Wait::kDone) return w;
    if (message.name == proto::kLiveViewStopped) {
      *stopped = true;
      return Wait::kDone;
    }
    if (message.name != proto::kLiveViewFrame) continue;
    const ZyLuaTEData* data = message.data(proto::kFrameData);
    const std::optional<double> number = message.number(proto::kSequence);
    if (data == nullptr || !number) continue;  // not a frame we can use
    const auto* bytes = static_cast<const uint8_t*>(data->mBytes);
    jpeg->assign(bytes, bytes + data->mLength);
    *sequence = static_cast<uint32_t>(*number);
    return Wait::kDone;
  }
}

}  // namespace tether_host
