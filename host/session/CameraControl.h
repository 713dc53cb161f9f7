// Camera control over a running task: wait for the camera, ask for its
// choices, set settings, take live frames. Each request waits for the "ok"
// that carries its id; whatever else the task sends meanwhile is noted (the
// camera coming and going, live frames) and otherwise passed over.
//
// Single-threaded, over a borrowed TaskProcess that outlives it.
#ifndef TETHER_HOST_CAMERA_CONTROL_H_
#define TETHER_HOST_CAMERA_CONTROL_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/client/CameraSettings.h"  // SettingWord, for this class's users
#include "host/client/HostMessage.h"
#include "host/client/TaskProcess.h"

namespace tether_host {

class CameraControl {
 public:
  enum class Wait { kDone, kTimeout, kTaskEnded, kInterrupted, kBadFrame };

  // `wakeFd` (or -1) ends any wait when it becomes readable (a stop signal).
  CameraControl(TaskProcess* task, int wakeFd) : mTask(task), mWakeFd(wakeFd) {}

  // Until "deviceAdded" (at once when one was seen), at most timeoutMs.
  Wait waitForCamera(int timeoutMs);
  const std::string& cameraName() const { return mCameraName; }

  // Sends `name` with `payload` (may be null) and waits at most timeoutMs
  // for its "ok", into *reply.
  Wait request(const std::string& name, const ZyLuaTETable* payload, int timeoutMs,
               HostMessage* reply);

  // The next live frame, at most timeoutMs; kDone with *stopped set when
  // live view ended instead ("liveViewStopped").
  Wait nextFrame(int timeoutMs, std::vector<uint8_t>* jpeg, uint32_t* sequence, bool* stopped);

 private:
  // Reads one message within the deadline and notes what it says.
  Wait readOne(int64_t deadlineMs, HostMessage* message);

  TaskProcess* mTask;
  int mWakeFd;
  bool mCamera = false;
  std::string mCameraName;
};

}  // namespace tether_host

#endif  // TETHER_HOST_CAMERA_CONTROL_H_
