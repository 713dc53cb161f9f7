#include "camera/gphoto2/bridge.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <vector>

#include "camera/gphoto2/descriptor_zero.h"
#include "camera/gphoto2/hotplug_monitor.h"
#include "camera/gphoto2/jpeg_facts.h"
#include "camera/gphoto2/setting_values.h"

namespace krv_gphoto {

namespace {

using std::chrono::milliseconds;

// gp_camera_wait_for_event's timeout. Over PTP/IP it returns after about
// 1 ms whatever it is given; the loop then sleeps on the camera's sockets
// (at most kIdleWait), or out the rest of kEventPace where it has none.
const int kEventWaitMs = 100;
const auto kEventPace = milliseconds(100);
const auto kIdleWait = milliseconds(1000);
// Wakes by a readable camera socket after which libgphoto2 found no event:
// after this many in a row the worker paces itself rather than spin on data
// that nothing reads (a hostile peer talking out of turn).
const int kQuietWakesToPace = 3;
const auto kProbeInterval = std::chrono::seconds(1);
const auto kBusyRetry = milliseconds(100);
const int kBusyRetries = 50;  // about 5 s of a busy camera
const auto kExitWait = milliseconds(1800);
const unsigned kThumbnailSide = 160;
// The largest file the bridge downloads: well above any camera's raw (a few
// hundred MB at most), well below what the SDK's 32-bit sizes allow. A camera
// announcing more is refused before anything is reserved for it.
const size_t kMaxFileBytes = size_t{1} << 30;
// How long a caller of start/stopLiveView waits for the worker, which may be
// busy downloading a capture.
const auto kAskWait = milliseconds(3000);
// Live view: at most about 15 frames a second; after this many failed
// previews in a row, one a second until the camera gives frames again (the
// host still has live view on and hears nothing else).
const auto kPreviewInterval = milliseconds(66);
const auto kPreviewRetryInterval = milliseconds(1000);
const int kPreviewFailuresToSlow = 3;
// How often the choices are read again: a mode dial may change them or make
// a setting read-only without a word from the camera.
const auto kChoicesInterval = std::chrono::seconds(3);

// The four settings: the SDK's property, its PTP property and its width.
struct SettingRow {
  int id;
  uint16_t code;
  bool isDouble;
};
const SettingRow kSettingRows[] = {
    {eKRV_SDK_PropAperture, kPtpFNumber, true},
    {eKRV_SDK_PropShutterTime, kPtpExposureTime, true},
    {eKRV_SDK_PropIso, kPtpExposureIndex, false},
    {eKRV_SDK_PropWhiteBalance, kPtpWhiteBalance, false},
};

constexpr size_t kNoSetting = sizeof kSettingRows / sizeof kSettingRows[0];

size_t FindSetting(int id) {
  for (size_t i = 0; i < kNoSetting; ++i) {
    if (kSettingRows[i].id == id) return i;
  }
  return kNoSetting;
}

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::fprintf(stderr, "krv-gphoto: %s\n", line);
}

// libgphoto2's own debug log, for a bug report: KRV_GPHOTO_DEBUG_LOG names a
// new file (an existing one or a symbolic link is refused).
void WriteDebugLine(GPLogLevel, const char* domain, const char* text, void* data) {
  std::fprintf(static_cast<FILE*>(data), "%s: %s\n", domain, text);
  std::fflush(static_cast<FILE*>(data));
}

void StartDebugLog() {
  static bool started = false;
  const char* path = std::getenv("KRV_GPHOTO_DEBUG_LOG");
  if (started || path == nullptr || *path == '\0') return;
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  FILE* file = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (file == nullptr) {
    if (fd >= 0) ::close(fd);
    Log("KRV_GPHOTO_DEBUG_LOG: cannot create %s", path);
    return;
  }
  started = true;
  gp_log_add_func(GP_LOG_DEBUG, &WriteDebugLine, file);
}

bool EnvFlag(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && std::strcmp(v, "1") == 0;
}


template <typename T>
bool CopyOut(const std::optional<T>& value, void* buffer, unsigned int size) {
  if (!value || size != sizeof(T)) return false;
  std::memcpy(buffer, &*value, sizeof(T));
  return true;
}

}  // namespace

Bridge& Bridge::instance() {
  static Bridge* bridge = new Bridge();  // never destroyed: a detached worker may outlive main
  return *bridge;
}

bool Bridge::init(KRV_SDK_DeviceCallback callback, void* context) {
  CameraChoice choice;
  std::string error;
  if (!ParseCameraChoice(std::getenv("KRV_GPHOTO_CAMERA"), &choice, &error)) {
    Log("KRV_GPHOTO_CAMERA: %s", error.c_str());
    return false;
  }
  zy::MutexLock lock(&mMu);
  // A worker left behind by an exit that could not wait for it must end
  // before another starts: both would drive the camera.
  if (mRunning || mWorker.joinable() || (mWorkerStarted && !mWorkerDone)) return false;
  if (pipe2(mWake, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  mDevice = callback;
  mDeviceContext = context;
  mChoice = choice;
  mDeleteAfterDownload = EnvFlag("KRV_GPHOTO_DELETE");
  if (const char* t = std::getenv("KRV_GPHOTO_CAPTURE_TIMEOUT_MS")) {
    const long ms = std::strtol(t, nullptr, 10);
    if (ms > 0 && ms <= 600000) mCaptureTimeout = milliseconds(ms);
  }
  StartDebugLog();
  mRunning = true;
  mStop = false;
  mCallbacksOff = false;
  mWorkerDone = false;
  mWorkerStarted = true;
  mWorker = std::thread([this] { run(); });
  return true;
}

bool Bridge::setFrameCallback(KRV_SDK_FrameCallback callback, void* context) {
  zy::MutexLock lock(&mMu);
  mFrame = callback;
  mFrameContext = context;
  return mRunning;
}

bool Bridge::setChangesCallback(KRV_SDK_ChangesCallback callback, void* context) {
  zy::MutexLock lock(&mMu);
  mChanges = callback;
  mChangesContext = context;
  return mRunning;
}

bool Bridge::getProperty(int id, void* buffer, unsigned int size) {
  if (buffer == nullptr) return false;
  zy::MutexLock lock(&mMu);
  if (!mConnected) return false;
  switch (id) {
    case eKRV_SDK_PropAperture: return CopyOut(mSettings.aperture, buffer, size);
    case eKRV_SDK_PropShutterTime: return CopyOut(mSettings.shutter, buffer, size);
    case eKRV_SDK_PropIso: return CopyOut(mSettings.iso, buffer, size);
    case eKRV_SDK_PropWhiteBalance: return CopyOut(mSettings.whiteBalance, buffer, size);
    case eKRV_SDK_PropFileFormat: return CopyOut(std::optional<int32_t>(mFileFormat), buffer, size);
    case eKRV_SDK_PropHostAccepted:
      return CopyOut(std::optional<uint8_t>(mHostAccepted), buffer, size);
    case eKRV_SDK_PropCameraName: {
      if (size == 0 || size > eKRV_SDK_CameraNameMaxBytes) return false;
      std::memset(buffer, 0, size);
      std::memcpy(buffer, mName.data(), std::min<size_t>(mName.size(), size - 1));
      return true;
    }
    default: return false;
  }
}

bool Bridge::setProperty(int id, const void* value, unsigned int size) {
  if (FindSetting(id) != kNoSetting) return setSetting(id, value, size);
  if (id != eKRV_SDK_PropHostAccepted || value == nullptr || size != 1) return false;
  zy::MutexLock lock(&mMu);
  if (!mConnected) return false;
  std::memcpy(&mHostAccepted, value, 1);
  return true;
}

bool Bridge::post(Job job) {
  {
    zy::MutexLock lock(&mMu);
    if (!mRunning || mStop) return false;
    mJobs.push_back(std::move(job));
  }
  const char byte = 1;
  (void)!write(mWake[1], &byte, 1);  // a full pipe has woken the worker already
  return true;
}

template <typename T>
std::optional<T> Bridge::ask(std::function<T()> job) {
  if (mWorker.get_id() == std::this_thread::get_id()) return job();
  enum State { kQueued, kStarted, kAbandoned };
  struct Shared {
    std::promise<T> result;
    std::atomic<int> state{kQueued};
  };
  auto shared = std::make_shared<Shared>();
  std::future<T> future = shared->result.get_future();
  if (!post([shared, job] {
        int queued = kQueued;
        if (shared->state.compare_exchange_strong(queued, kStarted)) {
          shared->result.set_value(job());
        }
      })) {
    return std::nullopt;
  }
  if (future.wait_for(kAskWait) != std::future_status::ready) {
    int queued = kQueued;
    if (shared->state.compare_exchange_strong(queued, kAbandoned)) return std::nullopt;
    // Started meanwhile: its result stands (libgphoto2's own timeouts bound it).
    future.wait();
  }
  try {
    return future.get();
  } catch (const std::future_error&) {
    return std::nullopt;  // dropped unrun: the bridge is stopping
  }
}

int Bridge::getChoices(int id, void* values, unsigned int capacity, unsigned int* flags) {
  const size_t index = FindSetting(id);
  if (index == kNoSetting || flags == nullptr || (values == nullptr && capacity > 0)) return -1;
  const bool isDouble = kSettingRows[index].isDouble;
  zy::MutexLock lock(&mMu);
  const SettingChoices& choices = mChoices[index];
  if (!mConnected || choices.values.empty()) return -1;
  *flags = choices.readOnly ? eKRV_SDK_ChoiceReadOnly : 0;
  const size_t n = std::min<size_t>(choices.values.size(), capacity);
  for (size_t i = 0; i < n; ++i) {
    const double v = choices.values[i];
    if (isDouble) {
      std::memcpy(static_cast<char*>(values) + i * 8, &v, 8);
    } else {
      const int32_t narrow = static_cast<int32_t>(v);
      std::memcpy(static_cast<char*>(values) + i * 4, &narrow, 4);
    }
  }
  return static_cast<int>(std::min<size_t>(choices.values.size(), INT32_MAX));
}

bool Bridge::setSetting(int id, const void* value, unsigned int size) {
  const size_t index = FindSetting(id);
  if (value == nullptr || size != (kSettingRows[index].isDouble ? 8u : 4u)) return false;
  double wanted;
  if (kSettingRows[index].isDouble) {
    std::memcpy(&wanted, value, 8);
  } else {
    int32_t narrow;
    std::memcpy(&narrow, value, 4);
    wanted = narrow;
  }
  {
    zy::MutexLock lock(&mMu);
    std::string text;
    if (!mConnected || mChoices[index].readOnly || !ChoiceText(mChoices[index], wanted, &text)) {
      return false;
    }
  }
  return post([this, index, wanted] { applySetting(index, wanted); });
}

// Sets the widget text that stands for the value (the choices read afresh:
// the camera may have changed them since), then reports the value the camera
// holds afterwards through the changes callback, whether or not the camera
// also announces it: that report is what confirms the set, or, holding
// another value, tells that the camera refused.
void Bridge::applySetting(size_t index, double wanted) {
  if (!mLink->isOpen()) return;
  const SettingRow& row = kSettingRows[index];
  const SettingChoices choices = mLink->readChoices(row.code);
  {
    zy::MutexLock lock(&mMu);
    mChoices[index] = choices;
  }
  std::string text;
  if (choices.readOnly || !ChoiceText(choices, wanted, &text)) {
    Log("%s: the value asked for is no longer among the choices", choices.widget.c_str());
  } else if (const int result = mLink->setChoice(choices.widget, text); result < GP_OK) {
    Log("%s not set to %s: %s", choices.widget.c_str(), text.c_str(), gp_result_as_string(result));
    if (CameraLink::IsLoss(result)) {
      lose(gp_result_as_string(result));
      return;
    }
  }
  Settings now;
  {
    zy::MutexLock lock(&mMu);
    now = mSettings;
  }
  mLink->readSetting(row.code, &now);
  {
    zy::MutexLock lock(&mMu);
    mSettings = now;
  }
  reportSetting(row.id, now);
}

void Bridge::readChoices() {
  mNextChoicesRead = Clock::now() + kChoicesInterval;
  SettingChoices read[kNoSetting];
  for (size_t i = 0; i < kNoSetting && mLink->isOpen(); ++i) {
    read[i] = mLink->readChoices(kSettingRows[i].code);
  }
  zy::MutexLock lock(&mMu);
  for (size_t i = 0; i < kNoSetting; ++i) mChoices[i] = std::move(read[i]);
}

bool Bridge::startLiveView() {
  {
    zy::MutexLock lock(&mMu);
    if (!mConnected) return false;
  }
  // The first preview answers whether the camera has live view at all.
  return ask<bool>([this] {
           if (!mLink->isOpen()) return false;
           mLive = true;
           mPreviewFailures = -1;
           mNextPreview = Clock::now();
           livePreview();
           if (mPreviewFailures == -1) mPreviewFailures = 0;  // paused by a capture: no answer yet
           return mLive;
         })
      .value_or(false);
}

bool Bridge::stopLiveView() {
  return ask<bool>([this] {
           mLive = false;
           return true;
         })
      .value_or(false);
}

bool Bridge::capture() {
  {
    zy::MutexLock lock(&mMu);
    if (!mConnected) return false;
  }
  return post([this] {
    if (!mLink->isOpen()) return;
    mTriggerRetries = kBusyRetries;
    trigger();
  });
}

bool Bridge::requestClose() {
  {
    zy::MutexLock lock(&mMu);
    if (!mConnected) return false;
  }
  return post([this] {
    mClosedByHost = true;  // stays closed until the next init
    if (mLink->isOpen()) {
      closeCamera();
      deviceCallback(false);
    }
  });
}

bool Bridge::exit() {
  {
    zy::MutexLock lock(&mMu);
    if (!mRunning) return true;
    mJobs.clear();
  }
  mStop = true;
  const char byte = 1;
  (void)!write(mWake[1], &byte, 1);
  const bool onWorker = mWorker.get_id() == std::this_thread::get_id();
  if (!onWorker) {
    const Clock::time_point deadline = Clock::now() + kExitWait;
    while (!mWorkerDone && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(5));
  }
  if (onWorker || !mWorkerDone) {
    stopCallbacks(onWorker);
    mWorker.detach();
    Log("the camera did not finish in time; left to end with the process");
    zy::MutexLock lock(&mMu);
    mRunning = false;
    mConnected = false;
    return true;
  }
  mWorker.join();
  mCallbacksOff = true;
  ::close(mWake[0]);
  ::close(mWake[1]);
  zy::MutexLock lock(&mMu);
  mRunning = false;
  mConnected = false;
  mDevice = nullptr;
  mFrame = nullptr;
  mChanges = nullptr;
  return true;
}

void Bridge::stopCallbacks(bool onWorker) {
  if (onWorker) {
    mCallbacksOff = true;  // the callback in flight is the caller's own
    return;
  }
  // A callback in flight is waited for; later ones are dropped.
  zy::MutexLock lock(&mDeliverMu);
  mCallbacksOff = true;
}

// ---------------------------------------------------------------- the worker

void Bridge::run() {
  CameraLink link(&mStop);
  HotplugMonitor hotplug;
  mLink = &link;
  mHotplug = &hotplug;
  mClosedByHost = false;
  mCaptureDue = false;
  mTriggerRetries = 0;
  mNextProbe = Clock::now();
  mAssembler.close();
  while (!mStop) {
    OccupyDescriptorZero();
    runJobs();
    if (mStop) break;
    if (!link.isOpen()) {
      const bool plugged = hotplug.drainAdded();
      const bool polls = hotplug.fd() < 0 || mChoice.kind == CameraChoice::Kind::kPtpip;
      if (!mClosedByHost && (plugged || (polls && Clock::now() >= mNextProbe))) {
        tryOpen();
        mNextProbe = Clock::now() + kProbeInterval;
      }
      if (!link.isOpen()) waitForWake(kProbeInterval, {});
      continue;
    }
    const Clock::time_point start = Clock::now();
    if (mTriggerRetries > 0 && start >= mTriggerAt) trigger();
    if (!link.isOpen()) continue;
    const CameraEvent event = link.waitEvent(kEventWaitMs);
    handleEvent(event);
    if (!link.isOpen()) continue;
    if (std::optional<Capture> expired = mAssembler.expire(Clock::now())) deliver(*expired);
    if (mCaptureDue && Clock::now() >= mCaptureDeadline) {
      mCaptureDue = false;
      Log("capture timed out: the camera announced no file");
    }
    livePreview();
    if (!link.isOpen()) continue;
    if (Clock::now() >= mNextChoicesRead && !mCaptureDue && !mAssembler.hasOpen()) readChoices();
    if (event.kind != CameraEvent::Kind::kNone) {
      mQuietWakes = 0;
    } else {
      if (mCameraSpoke) ++mQuietWakes;
      idle(start);
    }
  }
  if (link.isOpen()) closeCamera();
  mLink = nullptr;
  mHotplug = nullptr;
  mWorkerDone = true;
}

void Bridge::runJobs() {
  std::deque<Job> jobs;
  {
    zy::MutexLock lock(&mMu);
    jobs.swap(mJobs);
  }
  for (Job& job : jobs) {
    if (mStop) return;
    job();
  }
}

// Until the camera has something to say (its sockets, where the link knows
// them: no latency and no polling), a request comes, or the next thing due.
// Without sockets, or when they stay readable with nothing for
// libgphoto2 to read, at most kEventPace from `start`.
void Bridge::idle(Clock::time_point start) {
  const bool onSockets = !mLink->wakeFds().empty() && mQuietWakes < kQuietWakesToPace;
  Clock::time_point until = start + (onSockets ? kIdleWait : kEventPace);
  const auto sooner = [&until](bool due, Clock::time_point at) {
    if (due && at < until) until = at;
  };
  // Only what the loop will act on when it comes: a preview or a choices
  // read put off by a capture under way would otherwise spin the loop.
  const bool capturing = mCaptureDue || mTriggerRetries > 0 || mAssembler.hasOpen();
  sooner(mLive && !capturing, mNextPreview);
  sooner(mTriggerRetries > 0, mTriggerAt);
  sooner(mCaptureDue, mCaptureDeadline);
  sooner(!mCaptureDue && !mAssembler.hasOpen(), mNextChoicesRead);
  const std::optional<Clock::time_point> window = mAssembler.deadline();
  sooner(window.has_value(), window.value_or(until));
  const Clock::time_point now = Clock::now();
  mCameraSpoke = false;
  if (now < until) {
    mCameraSpoke = waitForWake(until - now, onSockets ? mLink->wakeFds() : std::vector<int>());
  }
}

bool Bridge::waitForWake(Clock::duration timeout, const std::vector<int>& cameraFds) {
  std::vector<pollfd> fds = {{mWake[0], POLLIN, 0}, {mHotplug->fd(), POLLIN, 0}};
  for (const int fd : cameraFds) fds.push_back({fd, POLLIN, 0});
  // Rounded up: a wait cut short only spins the loop once more.
  const auto ms = std::chrono::ceil<milliseconds>(timeout).count();
  if (poll(fds.data(), fds.size(), static_cast<int>(ms < 0 ? 0 : ms)) <= 0) return false;
  if ((fds[0].revents & POLLIN) != 0) {
    char drained[64];
    while (read(mWake[0], drained, sizeof drained) > 0) {
    }
  }
  for (size_t i = 2; i < fds.size(); ++i) {
    if (fds[i].revents != 0) return true;
  }
  return false;
}

void Bridge::tryOpen() {
  std::string error;
  if (!mLink->open(mChoice, &error)) {
    if (error != mLastOpenError) Log("%s", error.c_str());  // once, not every second
    mLastOpenError = error;
    return;
  }
  mLastOpenError.clear();
  const std::string name = mLink->name();
  const Settings settings = mLink->readSettings();
  readChoices();
  {
    zy::MutexLock lock(&mMu);
    mName = name;
    mSettings = settings;
    mFileFormat = 0;
    mHostAccepted = 0;
    mConnected = true;
  }
  Log("connected: %s", name.c_str());
  deviceCallback(true);
}

void Bridge::closeCamera() {
  mLink->close();
  mAssembler.close();  // files not yet downloaded are not reported
  mCaptureDue = false;
  mTriggerRetries = 0;
  mLive = false;
  zy::MutexLock lock(&mMu);
  mConnected = false;
  for (SettingChoices& choices : mChoices) choices = SettingChoices();
}

void Bridge::lose(const char* why) {
  Log("camera lost: %s", why);
  closeCamera();
  mNextProbe = Clock::now() + kProbeInterval;
  deviceCallback(false);
}

void Bridge::handleEvent(const CameraEvent& event) {
  switch (event.kind) {
    case CameraEvent::Kind::kLost:
      lose("no answer");
      return;
    case CameraEvent::Kind::kFileAdded:
      mCaptureDue = false;
      for (const Capture& capture : mAssembler.add(event.file, Clock::now())) {
        deliver(capture);
        if (!mLink->isOpen()) return;
      }
      return;
    case CameraEvent::Kind::kCaptureComplete:
      if (std::optional<Capture> capture = mAssembler.close()) deliver(*capture);
      return;
    case CameraEvent::Kind::kPropertyChanged:
      propertyChanged(event.property);
      return;
    case CameraEvent::Kind::kNone:
    case CameraEvent::Kind::kOther:
      return;
  }
}

void Bridge::trigger() {
  const int result = mLink->trigger();
  if (result == GP_ERROR_CAMERA_BUSY && --mTriggerRetries > 0) {
    mTriggerAt = Clock::now() + kBusyRetry;
    return;
  }
  mTriggerRetries = 0;
  if (result >= GP_OK) {
    mCaptureDue = true;
    mCaptureDeadline = Clock::now() + mCaptureTimeout;
  } else if (CameraLink::IsLoss(result)) {
    lose(gp_result_as_string(result));
  } else {
    Log("capture refused: %s", gp_result_as_string(result));
  }
}

bool Bridge::fetch(const CameraFile& file, Download* out) {
  const long long announced = mLink->fileSize(file);
  if (announced > static_cast<long long>(kMaxFileBytes)) {
    Log("%s/%s: the camera announces %lld bytes, more than a file may have (%zu): not downloaded",
        file.folder.c_str(), file.name.c_str(), announced, kMaxFileBytes);
    return false;
  }
  const size_t reserve = announced > 0 ? static_cast<size_t>(announced) : 0;
  int result = GP_ERROR_CAMERA_BUSY;
  for (int attempt = 0; attempt < kBusyRetries && result == GP_ERROR_CAMERA_BUSY && !mStop;
       ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(kBusyRetry);
    result = mLink->download(file, reserve, kMaxFileBytes, out);
  }
  if (result < GP_OK) {
    if (CameraLink::IsLoss(result)) {
      lose(gp_result_as_string(result));
    } else {
      Log("%s/%s not downloaded: %s", file.folder.c_str(), file.name.c_str(),
          gp_result_as_string(result));
    }
    return false;
  }
  if ((announced >= 0 && static_cast<unsigned long long>(announced) != out->size()) ||
      out->size() == 0 || out->size() > UINT32_MAX) {
    Log("%s/%s: %zu bytes downloaded, %lld announced", file.folder.c_str(), file.name.c_str(),
        out->size(), announced);
    return false;
  }
  return true;
}

void Bridge::deliver(const Capture& capture) {
  Download raw, jpeg, preview;
  // Every file is whole before anything is reported: a camera lost midway
  // leaves no partial capture behind.
  if (capture.raw && !fetch(*capture.raw, &raw)) return;
  if (capture.jpeg && !fetch(*capture.jpeg, &jpeg)) return;

  const CameraFile& main = capture.jpeg ? *capture.jpeg : *capture.raw;
  std::vector<unsigned char> made;
  const unsigned char* thumbnail = nullptr;
  size_t thumbnailSize = 0;
  if (mLink->downloadPreview(main, &preview) >= GP_OK && preview.size() > 0 &&
      preview.size() <= UINT32_MAX) {
    thumbnail = preview.data();
    thumbnailSize = preview.size();
  } else {
    if (!capture.jpeg || !MakeThumbnail(jpeg.data(), jpeg.size(), kThumbnailSide, &made)) {
      // A raw alone, from a camera without thumbnails: a grey stand-in.
      GreyJpeg(kThumbnailSide, kThumbnailSide * 2 / 3, &made);
    }
    thumbnail = made.data();
    thumbnailSize = made.size();
  }
  const int32_t orientation = capture.jpeg ? JpegOrientation(jpeg.data(), jpeg.size()) : 1;
  const std::string& name = capture.objectName();
  {
    zy::MutexLock lock(&mMu);
    mFileFormat = capture.raw ? 0 : 3;  // 3: a JPEG alone
  }
  frame(eKRV_SDK_TransferOrientation, &orientation, sizeof orientation);
  frame(eKRV_SDK_TransferObjectName, name.data(), static_cast<unsigned int>(name.size()));
  frame(eKRV_SDK_TransferThumbnail, thumbnail, static_cast<unsigned int>(thumbnailSize));
  if (capture.raw) {
    frame(eKRV_SDK_TransferStartDNG, nullptr, static_cast<unsigned int>(raw.size()));
    frame(eKRV_SDK_TransferEndDNG, raw.data(), static_cast<unsigned int>(raw.size()));
  }
  if (capture.jpeg) {
    frame(eKRV_SDK_TransferStartJPG, nullptr, static_cast<unsigned int>(jpeg.size()));
    frame(eKRV_SDK_TransferEndJPG, jpeg.data(), static_cast<unsigned int>(jpeg.size()));
  }
  if (!mDeleteAfterDownload) return;
  for (const std::optional<CameraFile>& file : {capture.raw, capture.jpeg}) {
    if (file && mLink->remove(*file) < GP_OK) {
      Log("%s/%s kept on the card: not deleted", file->folder.c_str(), file->name.c_str());
    }
  }
}

void Bridge::propertyChanged(uint16_t code) {
  Settings now;
  {
    zy::MutexLock lock(&mMu);
    now = mSettings;
  }
  const Settings before = now;
  mLink->readSetting(code, &now);
  {
    zy::MutexLock lock(&mMu);
    mSettings = now;
  }
  if (now.aperture != before.aperture) reportSetting(eKRV_SDK_PropAperture, now);
  if (now.shutter != before.shutter) reportSetting(eKRV_SDK_PropShutterTime, now);
  if (now.iso != before.iso) reportSetting(eKRV_SDK_PropIso, now);
  if (now.whiteBalance != before.whiteBalance) reportSetting(eKRV_SDK_PropWhiteBalance, now);
}

void Bridge::reportSetting(int id, const Settings& now) {
  switch (id) {
    case eKRV_SDK_PropAperture:
      if (now.aperture) changed(id, &*now.aperture, sizeof(double));
      return;
    case eKRV_SDK_PropShutterTime:
      if (now.shutter) changed(id, &*now.shutter, sizeof(double));
      return;
    case eKRV_SDK_PropIso:
      if (now.iso) changed(id, &*now.iso, sizeof(int32_t));
      return;
    case eKRV_SDK_PropWhiteBalance:
      if (now.whiteBalance) changed(id, &*now.whiteBalance, sizeof(int32_t));
      return;
    default:
      return;
  }
}

// One live frame, when one is due and no capture is on its way: a capture
// pauses live view until its files are delivered.
void Bridge::livePreview() {
  const Clock::time_point now = Clock::now();
  if (!mLive || now < mNextPreview || mCaptureDue || mTriggerRetries > 0 || mAssembler.hasOpen()) {
    return;
  }
  mNextPreview = now + kPreviewInterval;
  Download jpeg;
  const int result = mLink->preview(&jpeg);
  // libgphoto2 names no type for some cameras' previews: JPEG by content.
  if (result >= GP_OK && jpeg.size() > 2 && jpeg.size() <= UINT32_MAX && jpeg.data()[0] == 0xFF &&
      jpeg.data()[1] == 0xD8) {
    mPreviewFailures = 0;
    frame(eKRV_SDK_TransferLiveFrame, jpeg.data(), static_cast<unsigned int>(jpeg.size()));
    return;
  }
  if (result < GP_OK && CameraLink::IsLoss(result)) {
    lose(gp_result_as_string(result));
    return;
  }
  if (mPreviewFailures == -1) {  // the first preview of a start: no live view at all
    mLive = false;
    Log("no live view: %s", result < GP_OK ? gp_result_as_string(result) : "not a JPEG");
    return;
  }
  if (++mPreviewFailures >= kPreviewFailuresToSlow) {
    if (mPreviewFailures == kPreviewFailuresToSlow) {
      Log("live view has no frames: %s", result < GP_OK ? gp_result_as_string(result) : "not a JPEG");
    }
    mNextPreview = now + kPreviewRetryInterval;
  }
}

// ---------------------------------------------------------------- callbacks

void Bridge::deviceCallback(bool connected) {
  zy::MutexLock deliver(&mDeliverMu);
  if (mCallbacksOff) return;
  KRV_SDK_DeviceCallback callback;
  void* context;
  {
    zy::MutexLock lock(&mMu);
    callback = mDevice;
    context = mDeviceContext;
  }
  if (callback != nullptr) callback(context, connected, eKRV_SDK_ModelGeneric);
}

void Bridge::frame(int state, const void* data, unsigned int size) {
  zy::MutexLock deliver(&mDeliverMu);
  if (mCallbacksOff) return;
  KRV_SDK_FrameCallback callback;
  void* context;
  {
    zy::MutexLock lock(&mMu);
    callback = mFrame;
    context = mFrameContext;
  }
  if (callback != nullptr) callback(context, state, data, size);
}

void Bridge::changed(int id, const void* data, unsigned int size) {
  zy::MutexLock deliver(&mDeliverMu);
  if (mCallbacksOff) return;
  KRV_SDK_ChangesCallback callback;
  void* context;
  {
    zy::MutexLock lock(&mMu);
    callback = mChanges;
    context = mChangesContext;
  }
  if (callback != nullptr) callback(context, id, data, size);
}

}  // namespace krv_gphoto
