#include "host/session/TetherSession.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>

#include "host/client/CameraSettings.h"
#include "host/client/Deadline.h"
#include "host/saving/OutputFiles.h"
#include "host/session/SettingStep.h"
#include "host/session/TaskLog.h"
#include "host/client/TaskProcess.h"
#include "platform/Mutex.h"
#include "source/ProtocolNames.h"

namespace tether_host {

namespace proto = tether::proto;

namespace {

// A picture that has its thumbnail and one file but not both is complete
// after this long without news of it (the camera delivers one format).
constexpr int kQuietMs = 2000;

// The settings the keys step, by TetherSession::StepSetting, with the word
// said to the user.
struct StepRow {
  const char* key;
  const char* word;
};
constexpr StepRow kStepRows[] = {
    {proto::kIsoSpeed, "ISO"}, {proto::kAperture, "aperture"}, {proto::kShutter, "shutter"}};
constexpr int kStepSettings = sizeof kStepRows / sizeof kStepRows[0];

}  // namespace

// The session's state; also the one sink of the saver, passing every event
// on to the observers in the order they were added.
class TetherSession::Impl : public TetherObserver {
 public:
  explicit Impl(TetherOptions options)
      : mOptions(std::move(options)), mWakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~Impl() override {
    if (mWakeFd >= 0) close(mWakeFd);
  }

  void wake() {
    const uint64_t one = 1;
    if (write(mWakeFd, &one, sizeof one) < 0) {
      // The counter is already non-zero: the loop will wake anyway.
    }
  }

  TetherResult run();

  void cameraChanged(const std::string& name) override {
    for (auto* o : mObservers) o->cameraChanged(name);
  }
  void settingsChanged(const SettingsTexts& s) override {
    for (auto* o : mObservers) o->settingsChanged(s);
  }
  void captureAnnounced(const CaptureAnnounced& c) override {
    mNewestCapture = c.captureId;
    for (auto* o : mObservers) o->captureAnnounced(c);
  }
  void fileSaved(const FileSaved& f) override {
    for (auto* o : mObservers) o->fileSaved(f);
  }
  void saveFailed(const SaveFailed& f) override {
    for (auto* o : mObservers) o->saveFailed(f);
  }
  void captureIncomplete(int id, int number, const std::string& missing) override {
    for (auto* o : mObservers) o->captureIncomplete(id, number, missing);
  }
  void liveFrame(uint32_t sequence, const std::shared_ptr<const std::string>& jpeg) override {
    for (auto* o : mObservers) o->liveFrame(sequence, jpeg);
  }
  void liveViewStopped(const std::string& reason) override {
    for (auto* o : mObservers) o->liveViewStopped(reason);
  }

  struct Request {
    std::string name;
    std::unique_ptr<ZyLuaTETable> payload;
    ReplyHandler onReply;
  };
  // Queues a request for run()'s thread; false when the session is over.
  bool queue(Request request) {
    {
      zy::MutexLock lock(&mRequestMutex);
      if (mRequestsClosed) return false;
      mRequests.push_back(std::move(request));
    }
    wake();
    return true;
  }

  TetherOptions mOptions;
  std::vector<TetherObserver*> mObservers;
  int mWakeFd;
  std::atomic<int> mCaptureRequests{0};
  std::atomic<int> mStopRequests{0};
  std::atomic<int> mStepRequests[kStepSettings] = {};  // net steps per setting

 private:
  bool setUp(TetherResult* result);
  bool loop(TetherResult* result);
  bool handle(const HostMessage& m, TetherResult* result);
  void sendRequestedCaptures();
  void sendRequestedStep();
  // A step's two replies: the choices, from which the set is sent, and the
  // set's answer. Null when no reply comes.
  void stepFromChoices(int setting, int steps, const HostMessage* reply);
  void stepAnswered(int setting, const HostMessage* reply);
  void noteSettings(ZyLuaTE* settings);
  bool countReached() const;
  void shutDown(TetherResult* result);
  void say(const std::string& line) const {
    if (mOptions.say) mOptions.say(line);
  }
  // The number of the newest picture when it is still arriving, else 0.
  int pictureArriving() const;
  void sendRequests();
  // Sends a request whose reply goes to `onReply` (run()'s thread); a
  // request that cannot be sent hears null at once.
  void sendAwaiting(const std::string& name, ZyLuaTETable* payload, ReplyHandler onReply);
  // True when `m` answered a request(): its handler has had it.
  bool answer(const HostMessage& m);
  void liveMessage(const HostMessage& m);
  // After run(): every request still waiting hears that no reply comes.
  void endRequests();
  void drainWake() {
    uint64_t count;
    while (read(mWakeFd, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
    }
  }

  std::unique_ptr<TaskLog> mLog;
  std::unique_ptr<TaskProcess> mTask;
  std::unique_ptr<CaptureSaver> mSaver;
  bool mCameraPresent = false;
  int mNewestCapture = -1;  // capture id of the newest announced picture
  std::map<int32_t, ReplyHandler> mAwaiting;  // sent requests by message id

  zy::Mutex mRequestMutex;
  std::vector<Request> mRequests GUARDED_BY(mRequestMutex);
  bool mRequestsClosed GUARDED_BY(mRequestMutex) = false;
  // The settings as last reported, by key, for stepping from.
  std::map<std::string, std::unique_ptr<ZyLuaTE>> mSettings;
  bool mStepping = false;  // a step's requests are on their way: one at a time
};

bool TetherSession::Impl::setUp(TetherResult* result) {
  FilenamePattern pattern;
  std::string error;
  std::string notice;
  const TaskLaunch& launch = mOptions.launch;
  if (!FilenamePattern::parse(mOptions.filenamePattern, &pattern, &error) ||
      !MakeDirectories(mOptions.outDir, &error) ||
      !(mLog = TaskLog::openFor(launch, &notice, &error))) {
    result->end = TetherResult::End::kSetupFailed;
    result->message = error;
    return false;
  }
  if (!notice.empty()) say(notice);
  result->taskLogPath = mLog->path();
  TaskProcess::Options options;
  options.path = launch.taskPath.empty() ? DefaultTaskPath() : launch.taskPath;
  options.environment = launch.environment;
  options.logLine = [this](const std::string& line) { mLog->line(line); };
  mTask = TaskProcess::start(options, &error);
  if (!mTask) {
    result->end = TetherResult::End::kNoTask;
    result->message = error;
    return false;
  }
  mSaver.reset(new CaptureSaver({mOptions.outDir, pattern, mTask->tempDir()}, this));
  mLog->onRefusedSave([this](FileKind kind, const std::string& why) {
    mSaver->taskRefusedSave(kind, why);
  });
  return true;
}

TetherResult TetherSession::Impl::run() {
  TetherResult result;
  if (!setUp(&result)) {
    endRequests();
    return result;
  }
  if (loop(&result)) shutDown(&result);
  mSaver->finish();
  endRequests();
  mTask->waitForExit(-1);  // ended by now; reaped for the temporary folder's sake
  result.saved = mSaver->record();
  result.leftovers = mTask->removeTempDir();
  result.taskLogTail = mLog->tail();
  return result;
}

// Until a stop, the count, or the task failing; true when the task is to
// be shut down in order.
bool TetherSession::Impl::loop(TetherResult* result) {
  HostMessage message;
  for (;;) {
    if (mStopRequests.load() > 0) return true;
    if (countReached()) {
      result->end = TetherResult::End::kCountReached;
      return true;
    }
    sendRequestedCaptures();
    sendRequests();
    sendRequestedStep();
    const int waitMs = mOptions.count > 0 ? kQuietMs : -1;
    switch (mTask->read(&message, waitMs, mWakeFd)) {
      case TaskProcess::ReadStatus::kMessage:
        if (!handle(message, result)) return false;
        break;
      case TaskProcess::ReadStatus::kInterrupted:
        drainWake();
        break;
      case TaskProcess::ReadStatus::kTimeout:
      case TaskProcess::ReadStatus::kLogNews:
        break;
      case TaskProcess::ReadStatus::kEndOfOutput:
        result->end = TetherResult::End::kTaskEnded;
        result->message = "the task ended unexpectedly";
        if (!mTask->waitForExit(5000)) mTask->terminate();
        result->message += " (" + mTask->exitStatus().describe() + ")";
        return false;
      case TaskProcess::ReadStatus::kBadFrame:
        result->end = TetherResult::End::kBadFrame;
        result->message = "bad frame from the task: " + mTask->error();
        mTask->terminate();
        return false;
    }
  }
}

bool TetherSession::Impl::handle(const HostMessage& m, TetherResult* result) {
  if (mSaver->handle(m) || answer(m)) return true;
  if (m.name == proto::kLiveViewFrame || m.name == proto::kLiveViewStopped) {
    liveMessage(m);
  } else if (m.name == proto::kDeviceAdded) {
    mCameraPresent = true;
    result->cameraName = m.string(proto::kName).value_or("");
    cameraChanged(result->cameraName);
    if (mTask->send(proto::kGetCameraSettings, nullptr) < 0) return true;  // its end shows next
  } else if (m.name == proto::kDeviceRemoved) {
    mCameraPresent = false;
    cameraChanged("");
  } else if (m.name == proto::kOk || m.name == proto::kCameraSettingsChanged) {
    noteSettings(m.payload.get());
  }
  return true;
}

void TetherSession::Impl::sendRequests() {
  std::vector<Request> requests;
  {
    zy::MutexLock lock(&mRequestMutex);
    requests.swap(mRequests);
  }
  for (Request& r : requests) sendAwaiting(r.name, r.payload.get(), std::move(r.onReply));
}

void TetherSession::Impl::sendAwaiting(const std::string& name, ZyLuaTETable* payload,
                                       ReplyHandler onReply) {
  const int32_t id = mTask->send(name, payload);
  if (id < 0) {
    onReply(nullptr);  // the task's end shows next
  } else {
    mAwaiting.emplace(id, std::move(onReply));
  }
}

bool TetherSession::Impl::answer(const HostMessage& m) {
  if (m.name != proto::kOk) return false;
  const auto it = mAwaiting.find(m.id);
  if (it == mAwaiting.end()) return false;
  const ReplyHandler onReply = std::move(it->second);
  mAwaiting.erase(it);
  ZyLuaTE* settings = m.value(proto::kSettings);
  if (settings != nullptr && settings->mType == ZyLuaTE::kTable) noteSettings(settings);
  onReply(&m);
  return true;
}

// A frame is copied once, into a buffer every observer may share.
void TetherSession::Impl::liveMessage(const HostMessage& m) {
  if (m.name == proto::kLiveViewStopped) {
    liveViewStopped(m.string(proto::kReason).value_or(""));
    return;
  }
  const ZyLuaTEData* data = m.data(proto::kFrameData);
  const std::optional<double> sequence = m.number(proto::kSequence);
  if (data == nullptr || !sequence || *sequence < 0 || *sequence > 4294967295.0) return;
  liveFrame(static_cast<uint32_t>(*sequence),
            std::make_shared<const std::string>(static_cast<const char*>(data->mBytes),
                                                static_cast<size_t>(data->mLength)));
}

void TetherSession::Impl::endRequests() {
  std::vector<Request> requests;
  {
    zy::MutexLock lock(&mRequestMutex);
    mRequestsClosed = true;
    requests.swap(mRequests);
  }
  for (Request& r : requests) r.onReply(nullptr);
  for (auto& entry : mAwaiting) entry.second(nullptr);
  mAwaiting.clear();
}

void TetherSession::Impl::noteSettings(ZyLuaTE* settings) {
  if (settings != nullptr && settings->mType == ZyLuaTE::kTable) {
    auto* table = static_cast<ZyLuaTETable*>(settings);
    for (const StepRow& row : kStepRows) {
      if (ZyLuaTE* value = table->elementForKey(row.key)) mSettings[row.key].reset(value->copy());
    }
  }
  settingsChanged(ReadSettingsTexts(settings));
}

void TetherSession::Impl::sendRequestedStep() {
  if (mStepping) return;
  for (int i = 0; i < kStepSettings; ++i) {
    const int steps = mStepRequests[i].exchange(0);
    if (steps == 0 || !mCameraPresent) continue;  // without a camera, dropped
    mStepping = true;
    sendAwaiting(proto::kGetCameraChoices, nullptr,
                 [this, i, steps](const HostMessage* reply) { stepFromChoices(i, steps, reply); });
    return;
  }
}

void TetherSession::Impl::stepFromChoices(int setting, int steps, const HostMessage* reply) {
  const StepRow& row = kStepRows[setting];
  std::unique_ptr<ZyLuaTE> next;
  if (reply == nullptr) {
  } else if (auto error = reply->string(proto::kError)) {
    say(std::string(row.word) + " not set: " + *error);
  } else {
    auto current = mSettings.find(row.key);
    next = StepChoice(reply->value(row.key),
                      current == mSettings.end() ? nullptr : current->second.get(), steps);
    if (!next) say(std::string(row.word) + ": no further choice that way");
  }
  if (!next) {
    mStepping = false;
    return;
  }
  ZyLuaTETable request;
  request.Set(row.key, next.release());
  sendAwaiting(proto::kSetCameraSettings, &request,
               [this, setting](const HostMessage* answer) { stepAnswered(setting, answer); });
}

// The settings in the answer have reached the observers already (answer()).
void TetherSession::Impl::stepAnswered(int setting, const HostMessage* reply) {
  mStepping = false;
  if (reply == nullptr) return;
  const std::string word = kStepRows[setting].word;
  if (auto error = reply->string(proto::kError)) {
    say(word + " not set: " + *error);
    return;
  }
  ZyLuaTE* refused = reply->value(proto::kRefused);
  ZyLuaTE* why = refused != nullptr && refused->mType == ZyLuaTE::kTable
                     ? static_cast<ZyLuaTETable*>(refused)->elementForKey(kStepRows[setting].key)
                     : nullptr;
  if (why != nullptr && why->mType == ZyLuaTE::kString) {
    say(word + " not set: " + static_cast<std::string>(*why));
  }
}

void TetherSession::Impl::sendRequestedCaptures() {
  if (!mCameraPresent) return;  // requests wait for a camera
  for (int n = mCaptureRequests.exchange(0); n > 0; --n) {
    if (mTask->send(proto::kDoCapture, nullptr) < 0) return;
  }
}

bool TetherSession::Impl::countReached() const {
  return mOptions.count > 0 && mSaver->record().pictures >= mOptions.count &&
         mSaver->allDone(kQuietMs);
}

int TetherSession::Impl::pictureArriving() const {
  const CaptureSaver::Progress* p = mSaver->progress(mNewestCapture);
  return p != nullptr && !p->done(kQuietMs) ? p->number : 0;
}

void TetherSession::Impl::shutDown(TetherResult* result) {
  const int stopsBefore = mStopRequests.load();
  if (stopsBefore > 0) {
    if (const int n = pictureArriving()) {
      say("finishing picture " + std::to_string(n) + "... (Ctrl-C again to stop now)");
    }
  }
  if (mTask->send(proto::kShutdown, nullptr) < 0) mTask->closeInput();
  const Deadline deadline = Deadline::in(kTaskShutdownWaitMs);
  HostMessage message;
  for (;;) {
    const auto status = mTask->read(&message, deadline.msLeft(), mWakeFd);
    if (status == TaskProcess::ReadStatus::kMessage) {
      handle(message, result);  // files still arriving are saved
      continue;
    }
    if (status == TaskProcess::ReadStatus::kLogNews) continue;
    if (status == TaskProcess::ReadStatus::kInterrupted) {
      drainWake();
      if (mStopRequests.load() > stopsBefore) {  // asked again: no more waiting
        say("stopping now; what the camera had not delivered stays in " + mTask->tempDir());
        mTask->terminate();
        return;
      }
      continue;
    }
    break;
  }
  if (!mTask->waitForExit(deadline.msLeft())) mTask->terminate();
}

TetherSession::TetherSession(TetherOptions options) : mImpl(new Impl(std::move(options))) {}
TetherSession::~TetherSession() = default;

void TetherSession::addObserver(TetherObserver* observer) { mImpl->mObservers.push_back(observer); }

void TetherSession::requestCapture() {
  mImpl->mCaptureRequests.fetch_add(1);
  mImpl->wake();
}

void TetherSession::requestStep(StepSetting setting, int direction) {
  const int i = static_cast<int>(setting);
  if (i < 0 || i >= kStepSettings || direction == 0) return;
  mImpl->mStepRequests[i].fetch_add(direction > 0 ? 1 : -1);
  mImpl->wake();
}

void TetherSession::requestStop() {
  mImpl->mStopRequests.fetch_add(1);
  mImpl->wake();
}

void TetherSession::request(std::string name, std::unique_ptr<ZyLuaTETable> payload,
                            ReplyHandler onReply) {
  Impl::Request r{std::move(name), std::move(payload), std::move(onReply)};
  ReplyHandler late = r.onReply;
  if (!mImpl->queue(std::move(r))) late(nullptr);
}

TetherResult TetherSession::run() { return mImpl->run(); }

}  // namespace tether_host
