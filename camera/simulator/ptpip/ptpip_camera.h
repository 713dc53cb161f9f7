// The simulated PTP/IP camera's state and its PTP operations: properties,
// the pictures on its card, the events it owes the host, and what the control
// socket can change (shutter, dials, faults, quirks). It knows nothing of
// sockets: PtpipServer feeds it operations and sends what it returns.
//
// Threads: execute() comes from the server thread, control calls from the
// control socket's thread, captures the host asks for are made on the
// camera's own capture thread. Everything shared is under mMu, which is never
// held while a picture is rendered or the wake callback runs.
#ifndef KRV_SIM_PTPIP_PTPIP_CAMERA_H_
#define KRV_SIM_PTPIP_PTPIP_CAMERA_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "camera/simulator/ptpip/ptpip_packet.h"
#include "platform/Mutex.h"

namespace krv_sim {

using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

// What an operation gives back: a response code and parameters, and for
// operations with a data phase toward the host, a slice of shared bytes.
struct OperationResult {
  uint16_t code = 0;
  std::vector<uint32_t> params;
  bool hasData = false;
  Bytes data;
  size_t offset = 0, size = 0;
};

struct PendingEvent {
  uint16_t code;
  uint32_t transactionId;
  std::vector<uint32_t> params;
};

// Which files one capture makes, and the real cameras' orderings of them.
enum class CaptureFiles { kRawAndJpeg, kRawOnly, kJpegOnly };

// Everything the control socket may change silently.
struct PtpipSettings {
  CaptureFiles files = CaptureFiles::kRawAndJpeg;
  std::string rawExtension = "DNG";
  bool rawFirst = false;         // ObjectAdded of the raw before the JPEG's
  bool completeFirst = false;    // CaptureComplete before the ObjectAdded events
  bool thumbnail = true;         // the camera keeps a thumbnail of its JPEGs
  int orientation = 1;           // EXIF orientation of the JPEG; 0: no EXIF
  int width = 640, height = 480; // JPEG size; the raw's too unless rawBytes
  uint64_t rawBytes = 0;         // > 0: raw file of about this size
  int jpegQuality = 85;
  int delayMs = 0;               // added before every operation's response
  int chunkDelayMs = 0;          // added before every data packet of 1 MiB
  size_t cardLimit = 0;          // > 0: the card keeps only the newest n objects
  int busy = 0;                  // the next n operations answer DeviceBusy
};

class PtpipCamera {
 public:
  // `serial` is the DeviceInfo's serial number.
  explicit PtpipCamera(std::string serial);
  ~PtpipCamera();  // stops the capture thread
  PtpipCamera(const PtpipCamera&) = delete;
  PtpipCamera& operator=(const PtpipCamera&) = delete;

  // Called (without locks held, from any thread) when events are queued or
  // the camera is unplugged: the server's cue to look. Set before serving.
  void setWake(std::function<void()> wake);

  // ---- The server's side
  // Runs one operation. `hostData` is what the host sent in the data phase
  // (empty if none). Thread: the server's.
  OperationResult execute(const ptp::OperationRequest& request, const std::vector<uint8_t>& hostData);
  // The connection ended: the session is closed.
  void endSession();
  std::deque<PendingEvent> takeEvents();
  PtpipSettings settings();
  bool plugged();

  // ---- The control socket's side
  // The shutter pressed on the camera: makes the files and queues their
  // events. *handles: the new objects. False with *error when unplugged or
  // a file could not be made.
  bool pressShutter(std::vector<uint32_t>* handles, std::string* error);
  // A dial turned: sets `code` to `value` (one the property accepts) and
  // queues DevicePropChanged.
  bool turnDial(uint16_t code, int64_t value, std::string* error);
  void setReadOnly(uint16_t code, bool readOnly);
  void setPlugged(bool plugged);
  // Runs `change` on the settings under the lock.
  void changeSettings(const std::function<void(PtpipSettings&)>& change);
  // "ok ..." lines for the control socket.
  std::string stateLine();
  // One object: "handle=1 name=IMG_0001.JPG size=123 fnv1a64=...", or "" if none.
  std::string objectLine(uint32_t handle);
  std::vector<uint32_t> handles();

 private:
  struct Object;
  using Handler = OperationResult (PtpipCamera::*)(const ptp::OperationRequest&,
                                                    const std::vector<uint8_t>&);
  struct OperationEntry {
    uint16_t code;
    Handler handler;
    bool needsSession;
  };
  static const std::vector<OperationEntry>& Operations();

  OperationResult getDeviceInfo(const ptp::OperationRequest&, const std::vector<uint8_t>&);
  OperationResult openSession(const ptp::OperationRequest&, const std::vector<uint8_t>&);
  OperationResult closeSession(const ptp::OperationRequest&, const std::vector<uint8_t>&);
  OperationResult getStorageIds(const ptp::OperationRequest&, const std::vector<uint8_t>&);
  OperationResult getStorageInfo(const ptp::OperationRequest&, const std::vector<uint8_t>&);
  OperationResult getNumObjects(const ptp::OperationRequest&, const std::vector<uint8_t>&);
  OperationResult getObjectHandles(const ptp::OperationRequest&, const std::vector<uint8_t>&);
  OperationResult getObjectInfo(const ptp::OperationRequest&, const std::vector<uint8_t>&);
  OperationResult getObject(const ptp::OperationRequest&, const std::vector<uint8_t>&);
  OperationResult getPartialObject(const ptp::OperationRequest&, const std::vector<uint8_t>&);
  OperationResult getThumb(const ptp::OperationRequest&, const std::vector<uint8_t>&);
  OperationResult deleteObject(const ptp::OperationRequest&, const std::vector<uint8_t>&);
  OperationResult initiateCapture(const ptp::OperationRequest&, const std::vector<uint8_t>&);
  OperationResult getDevicePropDesc(const ptp::OperationRequest&, const std::vector<uint8_t>&);
  OperationResult getDevicePropValue(const ptp::OperationRequest&, const std::vector<uint8_t>&);
  OperationResult setDevicePropValue(const ptp::OperationRequest&, const std::vector<uint8_t>&);
  OperationResult getStreamInfo(const ptp::OperationRequest&, const std::vector<uint8_t>&);
  OperationResult getStream(const ptp::OperationRequest&, const std::vector<uint8_t>&);

  // Makes one capture's files and queues its events; `transactionId` is the
  // InitiateCapture's (0 for the camera's own shutter).
  bool capture(uint32_t transactionId, std::vector<uint32_t>* handles, std::string* error);
  void captureLoop();
  void queueEvent(PendingEvent event) REQUIRES(mMu);
  void wake();
  const Object* findObject(uint32_t handle) const REQUIRES(mMu);

  const std::string mSerial;
  zy::Mutex mMu;
  zy::CondVar mCaptureCv;
  std::function<void()> mWake;  // set before serving, then only read
  PtpipSettings mSettings GUARDED_BY(mMu);
  std::map<uint16_t, int64_t> mValues GUARDED_BY(mMu);
  std::set<uint16_t> mReadOnly GUARDED_BY(mMu);
  std::map<uint32_t, std::shared_ptr<const Object>> mObjects GUARDED_BY(mMu);
  std::deque<PendingEvent> mEvents GUARDED_BY(mMu);
  std::deque<uint32_t> mCaptureRequests GUARDED_BY(mMu);  // InitiateCapture transaction ids
  uint32_t mNextHandle GUARDED_BY(mMu) = 1;
  unsigned mCaptures GUARDED_BY(mMu) = 0;
  unsigned mStreamFrames GUARDED_BY(mMu) = 0;
  bool mSessionOpen GUARDED_BY(mMu) = false;
  bool mPlugged GUARDED_BY(mMu) = true;
  bool mStopping GUARDED_BY(mMu) = false;
  std::thread mCaptureThread;
};

}  // namespace krv_sim

#endif  // KRV_SIM_PTPIP_PTPIP_CAMERA_H_
