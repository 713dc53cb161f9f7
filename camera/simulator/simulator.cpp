#include "camera/simulator/simulator.h"

#include <algorithm>
#include <fstream>
#include <cstdio>
#include <cstring>
#include <time.h>

#include "camera/simulator/choices.h"
#include "camera/simulator/control_commands.h"
#include "camera/simulator/jpeg_encoder.h"
#include "camera/simulator/scene.h"
#include "camera/simulator/control_server.h"
#include "camera/simulator/dng_writer.h"
#include "camera/simulator/sim_config.h"
#include "camera/simulator/sim_log.h"

namespace krv_sim {
namespace {

// How many of this library's callbacks the current thread is inside; lets
// exit(), called from a callback, wait for every callback but its own.
thread_local int tCallbackDepth = 0;

constexpr const char* kCallNames[kSdkCallCount] = {
    "init", "setFrameCallback", "setChangesCallback", "getProperty",
    "setProperty", "capture", "requestClose", "exit"};

template <typename T>
void ToBytes(T value, std::vector<uint8_t>* bytes) {
  bytes->resize(sizeof(T));
  std::memcpy(bytes->data(), &value, sizeof(T));
}

template <typename T>
bool FromBytes(const void* value, unsigned int size, T* out) {
  if (size != sizeof(T)) return false;
  std::memcpy(out, value, sizeof(T));
  return true;
}

// The name each simulated body gives itself, as a real camera reports its
// manufacturer and model.
std::string CameraName(int32_t model) {
  switch (model) {
    case eKRV_SDK_ModelK1: return "Orvak K1";
    case eKRV_SDK_ModelKMk2: return "Orvak K (Mk 2)";
    case eKRV_SDK_ModelRMk4: return "Orvak R (Mk 4)";
    case eKRV_SDK_ModelKMk3: return "Orvak K (Mk 3)";
    case eKRV_SDK_ModelKXMk1: return "Orvak KX (Mk 1)";
    case eKRV_SDK_ModelTonal: return "Orvak Tonal";
    default: return "Orvak " + std::to_string(model);
  }
}

// The camera as a new session finds it: defaults, then the environment's knobs.
CameraState InitialState(const SimConfig& config) {
  CameraState state;
  state.fileFormat = config.fileFormat;
  state.orientation = config.orientation;
  state.namePattern = config.objectName;
  state.nulTerminatedName = config.nulTerminatedName;
  state.width = config.imageWidth;
  state.height = config.imageHeight;
  state.dngBytes = config.dngBytes;
  state.jpegQuality = config.jpegQuality;
  state.syncCallbacks = config.syncCallbacks;
  state.liveFps = config.liveFps;
  state.liveWidth = config.liveWidth;
  state.liveHeight = config.liveHeight;
  state.liveStamp = config.liveStamp;
  return state;
}

}  // namespace

bool ReadPropertyBytes(const CameraState& s, int id, std::vector<uint8_t>* bytes) {
  switch (id) {
    case eKRV_SDK_PropAperture: ToBytes(s.aperture, bytes); return true;
    case eKRV_SDK_PropShutterTime: ToBytes(s.shutter, bytes); return true;
    case eKRV_SDK_PropIso: ToBytes(s.iso, bytes); return true;
    case eKRV_SDK_PropFileFormat: ToBytes(s.fileFormat, bytes); return true;
    case eKRV_SDK_PropHostAccepted: ToBytes(s.hostAccepted, bytes); return true;
    case eKRV_SDK_PropWhiteBalance: ToBytes(s.whiteBalance, bytes); return true;
    case eKRV_SDK_PropKelvinMin: ToBytes(kKelvinMin, bytes); return true;
    case eKRV_SDK_PropKelvinMax: ToBytes(kKelvinMax, bytes); return true;
    default: return false;
  }
}

bool WritePropertyBytes(CameraState* s, int id, const void* value, unsigned int size) {
  if (value == nullptr) return false;
  switch (id) {
    case eKRV_SDK_PropAperture: return FromBytes(value, size, &s->aperture);
    case eKRV_SDK_PropShutterTime: return FromBytes(value, size, &s->shutter);
    case eKRV_SDK_PropIso: return FromBytes(value, size, &s->iso);
    case eKRV_SDK_PropFileFormat: return FromBytes(value, size, &s->fileFormat);
    case eKRV_SDK_PropHostAccepted: return FromBytes(value, size, &s->hostAccepted);
    case eKRV_SDK_PropWhiteBalance: return FromBytes(value, size, &s->whiteBalance);
    default: return false;
  }
}

Simulator& Simulator::instance() {
  static Simulator* instance = new Simulator();
  return *instance;
}

// ---- SDK entry points

bool Simulator::init(KRV_SDK_DeviceCallback callback, void* context) {
  count(SdkCall::kInit);
  zy::MutexLock life(&mLifecycleMu);
  {
    zy::MutexLock lock(&mMu);
    if (mRunning) {
      Log("init: already running");
      return false;
    }
  }
  const SimConfig config = SimConfig::fromEnvironment();
  SetLogEnabled(config.log);
  mCountsPath = config.countsPath;
  reapWorker();
  const uint64_t session = startSession(config, callback, context);
  Log("init: session %llu, model %d in %d ms, %s callbacks",
      static_cast<unsigned long long>(session), config.model, config.connectDelayMs,
      config.syncCallbacks ? "synchronous" : "worker");
  if (!config.controlPath.empty()) startControlServer(config.controlPath);
  return true;
}

// A worker that an exit() from inside its own callback had to leave running
// ends on its own (its session is over); it only needs the handle freed.
void Simulator::reapWorker() {
  if (!mWorker.joinable()) return;
  if (mWorker.get_id() == std::this_thread::get_id()) {
    mWorker.detach();  // init() from that same callback: it ends after returning
  } else {
    mWorker.join();
  }
}

uint64_t Simulator::startSession(const SimConfig& config, KRV_SDK_DeviceCallback callback,
                                 void* context) {
  zy::MutexLock lock(&mMu);
  const uint64_t session = ++mSession;
  mRunning = true;
  mStopping = false;
  mState = InitialState(config);
  mDeviceCallback = callback;
  mDeviceContext = context;
  mFrameCallback = nullptr;
  mFrameContext = nullptr;
  mChangesCallback = nullptr;
  mChangesContext = nullptr;
  mQueue.clear();
  mTimers.clear();
  if (config.model != 0) {
    const int model = config.model;
    mTimers.push_back({std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(config.connectDelayMs),
                       [this, model](uint64_t s) { connectCamera(s, model); }});
  }
  mWorker = std::thread(&Simulator::workerLoop, this, session);
  return session;
}

void Simulator::startControlServer(const std::string& path) {
  auto server = std::make_unique<ControlServer>(
      path, [this](const std::string& line) { return ExecuteControlCommand(this, line); });
  std::string error;
  if (server->start(&error)) {
    mServer = std::move(server);
  } else {
    // Always reported: a test or demo that asked for the socket cannot work without it.
    std::fprintf(stderr, "krv-sim: control socket %s: %s\n", path.c_str(), error.c_str());
  }
}

bool Simulator::setFrameCallback(KRV_SDK_FrameCallback callback, void* context) {
  count(SdkCall::kSetFrameCallback);
  zy::MutexLock lock(&mMu);
  if (!mRunning) return false;
  mFrameCallback = callback;
  mFrameContext = context;
  return true;
}

bool Simulator::setChangesCallback(KRV_SDK_ChangesCallback callback, void* context) {
  count(SdkCall::kSetChangesCallback);
  zy::MutexLock lock(&mMu);
  if (!mRunning) return false;
  mChangesCallback = callback;
  mChangesContext = context;
  return true;
}

bool Simulator::getProperty(int id, void* buffer, unsigned int size) {
  count(SdkCall::kGetProperty);
  std::vector<uint8_t> bytes;
  {
    zy::MutexLock lock(&mMu);
    if (!mRunning || mState.model == 0 || buffer == nullptr) return false;
    if (mState.failAllReads || mState.failingReads.count(id) != 0) return false;
    if (id == eKRV_SDK_PropCameraName) {
      // Any buffer up to the maximum: the name, NUL-terminated and cut to fit.
      if (size == 0 || size > eKRV_SDK_CameraNameMaxBytes) return false;
      const std::string name = CameraName(mState.model);
      bytes.assign(size, 0);
      std::memcpy(bytes.data(), name.data(), std::min<size_t>(name.size(), size - 1));
    } else if (!ReadPropertyBytes(mState, id, &bytes)) {
      return false;
    }
  }
  if (bytes.size() != size) return false;
  std::memcpy(buffer, bytes.data(), size);
  return true;
}

bool Simulator::setProperty(int id, const void* value, unsigned int size) {
  count(SdkCall::kSetProperty);
  uint64_t session;
  bool sync;
  std::vector<uint8_t> bytes;
  {
    zy::MutexLock lock(&mMu);
    if (!acceptsWorkLocked() || mState.model == 0) return false;
    if (mState.readOnly.count(id) != 0 || mState.refusing.count(id) != 0) return false;
    if (!WritePropertyBytes(&mState, id, value, size)) return false;
    ReadPropertyBytes(mState, id, &bytes);
    session = mSession;
    sync = mState.syncCallbacks;
    if (!sync) {
      postLocked([this, id, bytes](uint64_t s) {
        deliverChange(s, id, bytes.data(), static_cast<unsigned int>(bytes.size()));
      });
    }
  }
  // The camera confirms every accepted write with a change report.
  if (sync) deliverChange(session, id, bytes.data(), static_cast<unsigned int>(bytes.size()));
  return true;
}

bool Simulator::capture() {
  count(SdkCall::kCapture);
  CaptureSnapshot snapshot;
  uint64_t session;
  bool sync;
  {
    zy::MutexLock lock(&mMu);
    if (!acceptsWorkLocked() || !takeCaptureSnapshotLocked(&snapshot)) return false;
    session = mSession;
    sync = mState.syncCallbacks;
    if (!sync) {
      postLocked([this, snapshot](uint64_t s) { deliverCapture(s, snapshot); });
    }
  }
  Log("capture %u (%s)", snapshot.number, sync ? "synchronous" : "worker");
  if (sync) deliverCapture(session, snapshot);
  return true;
}

int Simulator::getChoices(int id, void* values, unsigned int capacity, unsigned int* flags) {
  std::vector<double> choices;
  unsigned int f = 0;
  {
    zy::MutexLock lock(&mMu);
    if (!mRunning || mState.model == 0 || flags == nullptr) return -1;
    if (!ChoicesFor(mState.model, id, &choices, &f)) return -1;
    if (mState.readOnly.count(id) != 0) f |= eKRV_SDK_ChoiceReadOnly;
  }
  const bool isInt = id == eKRV_SDK_PropIso || id == eKRV_SDK_PropWhiteBalance;
  for (size_t i = 0; values != nullptr && i < choices.size() && i < capacity; ++i) {
    if (isInt) {
      const int32_t v = static_cast<int32_t>(choices[i]);
      std::memcpy(static_cast<uint8_t*>(values) + i * 4, &v, 4);
    } else {
      std::memcpy(static_cast<uint8_t*>(values) + i * 8, &choices[i], 8);
    }
  }
  *flags = f;
  return static_cast<int>(choices.size());
}

bool Simulator::startLiveView() {
  zy::MutexLock lock(&mMu);
  if (!acceptsWorkLocked() || mState.model == 0) return false;
  if (mState.liveView) return true;
  mState.liveView = true;
  scheduleLiveFrameLocked(++mState.liveGeneration, true);
  return true;
}

bool Simulator::stopLiveView() {
  zy::MutexLock lock(&mMu);
  if (!mRunning) return false;
  if (mState.liveView) ++mState.liveGeneration;  // a tick already due finds itself stale
  mState.liveView = false;
  return true;
}

void Simulator::scheduleLiveFrameLocked(uint64_t generation, bool now) {
  auto tick = [this, generation](uint64_t s) { liveFrameTick(s, generation); };
  if (now) {
    postLocked(tick);
    return;
  }
  const auto interval = std::chrono::microseconds(1000000 / std::max(1, mState.liveFps));
  mTimers.push_back({std::chrono::steady_clock::now() + interval, tick});
  mCv.signalAll();
}

namespace {

// Writes CLOCK_MONOTONIC in nanoseconds, 20 digits, over the field's zeros.
void StampNow(std::vector<uint8_t>* jpeg, const std::string& field) {
  const auto at = std::search(jpeg->begin(), jpeg->end(), field.begin(), field.end());
  if (at == jpeg->end()) return;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  char digits[24];
  std::snprintf(digits, sizeof digits, "%020llu",
                static_cast<unsigned long long>(now.tv_sec) * 1000000000ULL +
                    static_cast<unsigned long long>(now.tv_nsec));
  std::copy(digits, digits + 20, at + 3);
}

}  // namespace

void Simulator::liveFrameTick(uint64_t session, uint64_t generation) {
  int width, height;
  unsigned number;
  bool stamp;
  {
    zy::MutexLock lock(&mMu);
    if (!mRunning || mSession != session || !mState.liveView || mState.model == 0 ||
        mState.liveGeneration != generation) {
      return;
    }
    width = mState.liveWidth;
    height = mState.liveHeight;
    stamp = mState.liveStamp;
    number = ++mState.liveFrames;
  }
  // The scene moves every frame and shows its number, so a stale frame shows.
  std::vector<uint8_t> jpeg;
  std::string error;
  // A stamp is a fixed-width field in the comment, filled in after encoding
  // so that it is the callback's own time (for latency benchmarks).
  const std::string field = " t=00000000000000000000";
  if (EncodeJpeg(RenderScene(width, height, number), 70,
                 "live " + std::to_string(number) + (stamp ? field : ""), &jpeg, &error)) {
    if (stamp) StampNow(&jpeg, field);
    deliverFrame(session, eKRV_SDK_TransferLiveFrame, jpeg.data(),
                 static_cast<unsigned int>(jpeg.size()));
  }
  zy::MutexLock lock(&mMu);
  if (mRunning && mSession == session && mState.liveView && mState.liveGeneration == generation) {
    scheduleLiveFrameLocked(generation, false);
  }
}

bool Simulator::requestClose() {
  count(SdkCall::kRequestClose);
  zy::MutexLock lock(&mMu);
  if (!acceptsWorkLocked() || mState.model == 0) return false;
  postLocked([this](uint64_t s) { disconnectCamera(s, std::nullopt, false); });
  return true;
}

bool Simulator::exit() {
  count(SdkCall::kExit);
  // From inside a callback the worker may be this very thread, so waiting
  // for the queue could never end: what is queued is dropped instead.
  if (tCallbackDepth == 0) deliverQueued();
  zy::MutexLock life(&mLifecycleMu);
  if (!stopSession()) return true;
  stopServerAndWorker();
  forgetCallbacksOnceIdle();
  writeCounts();
  return true;
}

void Simulator::deliverQueued() {
  zy::MutexLock lock(&mMu);
  if (!mRunning) return;
  const uint64_t session = mSession;
  const uint64_t last = mNextTicket - 1;
  mStopping = true;  // what is asked from now on is refused
  mTimers.clear();   // a camera that has not plugged in yet never does
  while (mRunning && mSession == session && mDoneTicket < last) mCv.wait(&mMu);
}

bool Simulator::stopSession() {
  zy::MutexLock lock(&mMu);
  if (!mRunning) return false;
  mRunning = false;
  mStopping = false;
  mQueue.clear();
  mTimers.clear();
  mCv.signalAll();
  return true;
}

void Simulator::stopServerAndWorker() {
  // The control thread never runs callbacks, so joining it cannot wait on
  // the caller; it ends its waits as soon as it sees the session is over.
  if (mServer) {
    mServer->stop();
    mServer.reset();
  }
  if (!mWorker.joinable()) return;
  // exit() from one of our own callbacks on the worker: the worker ends when
  // that callback returns; the next init() (or nobody) reaps it.
  if (mWorker.get_id() != std::this_thread::get_id()) mWorker.join();
}

void Simulator::forgetCallbacksOnceIdle() {
  zy::MutexLock lock(&mMu);
  while (mInFlight > tCallbackDepth) mCv.wait(&mMu);
  mDeviceCallback = nullptr;
  mFrameCallback = nullptr;
  mChangesCallback = nullptr;
  Log("exit: session %llu over", static_cast<unsigned long long>(mSession));
}

// For tests that check what the SDK was asked after the process is gone.
void Simulator::writeCounts() {
  if (mCountsPath.empty()) return;
  std::ofstream counts(mCountsPath, std::ios::trunc);
  counts << countsLine() << '\n';
}

// ---- Control interface

bool Simulator::postAndWait(Task task, std::chrono::milliseconds timeout, std::string* error) {
  zy::MutexLock lock(&mMu);
  if (!acceptsWorkLocked()) {
    *error = mRunning ? "sdk stopping" : "sdk not running";
    return false;
  }
  const uint64_t session = mSession;
  const uint64_t ticket = postLocked(std::move(task));
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (mDoneTicket < ticket && mRunning && mSession == session) {
    if (!mCv.waitUntil(&mMu, deadline) && std::chrono::steady_clock::now() >= deadline) break;
  }
  if (mDoneTicket >= ticket && mSession == session) return true;
  *error = mRunning && mSession == session ? "timeout" : "sdk stopped";
  return false;
}

bool Simulator::withState(const std::function<void(CameraState&)>& fn) {
  zy::MutexLock lock(&mMu);
  if (!mRunning) return false;
  fn(mState);
  return true;
}

bool Simulator::takeCaptureSnapshot(CaptureSnapshot* snapshot) {
  zy::MutexLock lock(&mMu);
  return takeCaptureSnapshotLocked(snapshot);
}

bool Simulator::takeCaptureSnapshotLocked(CaptureSnapshot* s) {
  if (!mRunning || mState.model == 0) return false;
  const CameraState& c = mState;
  s->number = ++mState.captures;
  s->model = c.model;
  s->fileFormat = c.fileFormat;
  s->sendOrientation = c.sendOrientation;
  s->orientation = c.orientation;
  s->sendName = c.sendName;
  s->namePattern = c.namePattern;
  s->nulTerminatedName = c.nulTerminatedName;
  s->width = c.width;
  s->height = c.height;
  s->jpegQuality = c.jpegQuality;
  if (c.dngBytes > 0) {
    DngSizeForBytes(c.dngBytes, &s->dngWidth, &s->dngHeight);
  } else {
    s->dngWidth = c.width;
    s->dngHeight = c.height;
  }
  return true;
}

std::string Simulator::countsLine() const {
  std::string line;
  for (size_t i = 0; i < kSdkCallCount; ++i) {
    if (i > 0) line += ' ';
    line += kCallNames[i];
    line += '=';
    line += std::to_string(mCounts[i].load());
  }
  return line;
}

void Simulator::resetCounts() {
  for (auto& c : mCounts) c.store(0);
}

// ---- Worker and delivery

uint64_t Simulator::postLocked(Task task) {
  const uint64_t ticket = mNextTicket++;
  mQueue.push_back({ticket, std::move(task)});
  mCv.signalAll();
  return ticket;
}

void Simulator::workerLoop(uint64_t session) {
  zy::MutexLock lock(&mMu);
  while (mRunning && mSession == session) {
    queueDueTimersLocked();
    if (mQueue.empty()) {
      waitForWorkLocked();
      continue;
    }
    Queued item = std::move(mQueue.front());
    mQueue.pop_front();
    mMu.unlock();
    item.task(session);
    item.task = nullptr;  // captured payloads go before the lock is retaken
    mMu.lock();
    mDoneTicket = item.ticket;
    mCv.signalAll();
  }
}

void Simulator::queueDueTimersLocked() {
  const auto now = std::chrono::steady_clock::now();
  auto due = std::stable_partition(mTimers.begin(), mTimers.end(),
                                   [&](const Timer& t) { return t.due > now; });
  for (auto it = due; it != mTimers.end(); ++it) postLocked(std::move(it->task));
  mTimers.erase(due, mTimers.end());
}

void Simulator::waitForWorkLocked() {
  if (mTimers.empty()) {
    mCv.wait(&mMu);
    return;
  }
  auto next = std::min_element(mTimers.begin(), mTimers.end(),
                               [](const Timer& a, const Timer& b) { return a.due < b.due; });
  mCv.waitUntil(&mMu, next->due);
}

bool Simulator::beginCallbackLocked(uint64_t session) {
  if (!mRunning || mSession != session) return false;
  ++mInFlight;
  ++tCallbackDepth;
  return true;
}

void Simulator::endCallback() {
  --tCallbackDepth;
  zy::MutexLock lock(&mMu);
  --mInFlight;
  mCv.signalAll();
}

void Simulator::connectCamera(uint64_t session, int model) {
  KRV_SDK_DeviceCallback callback;
  void* context;
  {
    zy::MutexLock lock(&mMu);
    if (!mRunning || mSession != session) return;
    mState.model = model;
    callback = mDeviceCallback;
    context = mDeviceContext;
    if (callback == nullptr || !beginCallbackLocked(session)) return;
  }
  Log("camera %d connected", model);
  callback(context, true, model);
  endCallback();
}

void Simulator::disconnectCamera(uint64_t session, std::optional<int> reported, bool always) {
  KRV_SDK_DeviceCallback callback;
  void* context;
  int id;
  {
    zy::MutexLock lock(&mMu);
    if (!mRunning || mSession != session) return;
    if (mState.model == 0 && !always) return;
    id = reported.value_or(mState.model);
    mState.model = 0;
    mState.liveView = false;  // a camera that goes takes its live view along
    callback = mDeviceCallback;
    context = mDeviceContext;
    if (callback == nullptr || !beginCallbackLocked(session)) return;
  }
  Log("camera disconnected, reported as %d", id);
  callback(context, false, id);
  endCallback();
}

void Simulator::deliverFrame(uint64_t session, int state, const void* data, unsigned int size) {
  KRV_SDK_FrameCallback callback;
  void* context;
  {
    zy::MutexLock lock(&mMu);
    callback = mFrameCallback;
    context = mFrameContext;
    if (callback == nullptr || !beginCallbackLocked(session)) return;
  }
  callback(context, state, data, size);
  endCallback();
}

void Simulator::deliverChange(uint64_t session, int id, const void* data, unsigned int size) {
  KRV_SDK_ChangesCallback callback;
  void* context;
  {
    zy::MutexLock lock(&mMu);
    callback = mChangesCallback;
    context = mChangesContext;
    if (callback == nullptr || !beginCallbackLocked(session)) return;
  }
  callback(context, id, data, size);
  endCallback();
}

void Simulator::deliverCapture(uint64_t session, const CaptureSnapshot& snapshot) {
  // Rendering and encoding take no lock: the SDK stays usable meanwhile.
  StreamCaptureEvents(snapshot, [&](const TransferEvent& e) {
    deliverFrame(session, e.state, e.nullData ? nullptr : e.bytes.data(), e.size);
    return sessionRunning(session);
  });
}

bool Simulator::sessionRunning(uint64_t session) const {
  zy::MutexLock lock(&mMu);
  return mRunning && mSession == session;
}

}  // namespace krv_sim
