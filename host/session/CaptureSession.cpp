#include "host/session/CaptureSession.h"

#include <cstdio>

#include "source/ProtocolNames.h"

namespace tether_host {

namespace proto = tether::proto;

namespace {

std::string Seconds(int ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g s", ms / 1000.0);
  return buf;
}

CaptureSaver::Options SaverOptions(const TaskProcess* task, const CaptureOptions& options) {
  CaptureSaver::Options saver;
  saver.outDir = options.outDir;
  std::string error;
  FilenamePattern::parse(options.filenamePattern, &saver.pattern, &error);
  saver.tempDir = task->tempDir();
  return saver;
}

}  // namespace

CaptureSession::CaptureSession(TaskProcess* task, CaptureOptions options, Progress progress)
    : mTask(task),
      mOptions(std::move(options)),
      mProgress(std::move(progress)),
      mSaver(SaverOptions(task, mOptions), this) {
  if (!mProgress) mProgress = [](const std::string&) {};
}

CaptureResult CaptureSession::run() {
  CaptureResult result;
  if (waitForCamera(&result)) {
    int i = 1;
    while (i <= mOptions.count && takeOneImage(i, &result)) ++i;
    result.capturesCompleted = i - 1;
    if (result.outcome == CaptureResult::Outcome::kOk) askSettings(mOptions.settingsTimeoutMs, &result);
  }
  collect(&result);
  return result;
}

CaptureResult CaptureSession::readSettings() {
  CaptureResult result;
  // Without a "deviceAdded" we still ask once, briefly: nothing is lost by
  // it, and the reply is the one authority on whether a camera is there.
  const bool camera = waitForCamera(&result);
  if (camera || result.outcome == CaptureResult::Outcome::kNoCamera) {
    result.outcome = CaptureResult::Outcome::kOk;
    askSettings(camera ? mOptions.settingsTimeoutMs : 1000, &result);
  }
  collect(&result);
  return result;
}

int CaptureSession::pictureArriving() const {
  if (mAnnounced.empty()) return 0;
  const CaptureSaver::Progress* p = mSaver.progress(mAnnounced.back());
  return p != nullptr && !p->done(mOptions.quietMs) ? p->number : 0;
}

void CaptureSession::collect(CaptureResult* result) {
  mSaver.finish();
  const SaveRecord& record = mSaver.record();
  result->files = record.files;
  result->problems = record.problems;
  result->failures = record.failures;
  result->incomplete = record.incomplete;
}

CaptureSession::Pump CaptureSession::pump(int timeoutMs, CaptureResult* result) {
  HostMessage message;
  switch (mTask->read(&message, timeoutMs, mOptions.wakeFd)) {
    case TaskProcess::ReadStatus::kMessage:
      handle(message, result);
      [[fallthrough]];  // a save may have failed; so may one the log told of
    case TaskProcess::ReadStatus::kLogNews:
      if (mFailure.empty()) return Pump::kMessage;
      result->outcome = CaptureResult::Outcome::kSaveFailed;
      result->message = mFailure;
      return Pump::kStop;
    case TaskProcess::ReadStatus::kTimeout:
      return Pump::kTimeout;
    case TaskProcess::ReadStatus::kEndOfOutput:
      result->outcome = CaptureResult::Outcome::kTaskEnded;
      result->message = "the task closed its output";
      return Pump::kStop;
    case TaskProcess::ReadStatus::kBadFrame:
      result->outcome = CaptureResult::Outcome::kBadFrame;
      result->message = "bad frame from the task: " + mTask->error();
      return Pump::kStop;
    case TaskProcess::ReadStatus::kInterrupted:
      result->outcome = CaptureResult::Outcome::kInterrupted;
      result->message = "interrupted";
      return Pump::kStop;
  }
  return Pump::kStop;
}

void CaptureSession::handle(const HostMessage& m, CaptureResult* result) {
  if (mSaver.handle(m)) return;
  if (m.name == proto::kDeviceAdded) {
    mCameraPresent = true;
    result->deviceId = static_cast<int>(m.number(proto::kDeviceId).value_or(0));
    result->cameraName = m.string(proto::kName).value_or("");
    mProgress("camera connected: " + result->cameraName + " (" + std::to_string(result->deviceId) +
              ")");
  } else if (m.name == proto::kDeviceRemoved) {
    mCameraPresent = false;
    mProgress("camera disconnected");
  } else if (m.name == proto::kOk && m.id == mSettingsRequest && m.payload) {
    result->settings.reset(m.payload->copy());
  }
  // Settings changes and anything unknown need nothing from us.
}

void CaptureSession::captureAnnounced(const CaptureAnnounced& capture) {
  mAnnounced.push_back(capture.captureId);
  mProgress("capture " + std::to_string(capture.captureId) + ": " + capture.cameraName);
}

void CaptureSession::fileSaved(const FileSaved& file) {
  mProgress("  saved " + file.path + " (" + std::to_string(file.size) + " bytes)");
}

void CaptureSession::saveFailed(const SaveFailed& failure) {
  mTask->returnFromRead();  // when the task's log told of it
  if (mFailure.empty()) {
    mFailure = "capture " + std::to_string(failure.captureId) + ": " + failure.message;
  }
}

bool CaptureSession::waitForCamera(CaptureResult* result) {
  const Deadline deadline = Deadline::in(mOptions.cameraTimeoutMs);
  while (!mCameraPresent) {
    const Pump p = deadline.passed() ? Pump::kTimeout : pump(deadline.msLeft(), result);
    if (p == Pump::kStop) return false;
    if (p == Pump::kTimeout) {
      result->outcome = CaptureResult::Outcome::kNoCamera;
      result->message = "no camera connected within " + Seconds(mOptions.cameraTimeoutMs);
      return false;
    }
  }
  return true;
}

bool CaptureSession::takeOneImage(int index, CaptureResult* result) {
  if (!mCameraPresent) {
    result->outcome = CaptureResult::Outcome::kNoCamera;
    result->message = "the camera was disconnected";
    return false;
  }
  mProgress("capture " + std::to_string(index) + " of " + std::to_string(mOptions.count) +
            ": requesting");
  if (mTask->send(proto::kDoCapture, nullptr) < 0) {
    result->outcome = CaptureResult::Outcome::kSendFailed;
    result->message = mTask->error();
    return false;
  }
  const Deadline deadline = Deadline::in(mOptions.captureTimeoutMs);
  // The capture's id is the first one announced that no earlier request has
  // claimed.
  while (mClaimed == mAnnounced.size()) {
    if (deadline.passed()) {
      result->outcome = CaptureResult::Outcome::kTimeout;
      result->message = "capture " + std::to_string(index) + ": the camera announced no image within " +
                        Seconds(mOptions.captureTimeoutMs);
      return false;
    }
    if (pump(deadline.msLeft(), result) == Pump::kStop) return false;
    if (!mCameraPresent) {
      result->outcome = CaptureResult::Outcome::kNoCamera;
      result->message = "the camera was disconnected during capture " + std::to_string(index);
      return false;
    }
  }
  return waitForFiles(index, mAnnounced[mClaimed++], deadline, result);
}

bool CaptureSession::waitForFiles(int index, int id, const Deadline& deadline,
                                  CaptureResult* result) {
  for (;;) {
    const CaptureSaver::Progress& state = *mSaver.progress(id);
    if (state.done(mOptions.quietMs)) return true;
    // A later capture has begun: this one will get nothing more.
    const bool enough = state.thumbnail && state.files() > 0;
    if (enough && mAnnounced.size() > mClaimed) return true;
    if (deadline.passed()) {
      result->outcome = CaptureResult::Outcome::kTimeout;
      result->message = "capture " + std::to_string(index) + ": " +
                        (state.thumbnail ? "no image file arrived" : "no thumbnail arrived") +
                        " within " + Seconds(mOptions.captureTimeoutMs);
      return false;
    }
    const Deadline quiet = enough ? Deadline::at(state.lastNews + std::chrono::milliseconds(mOptions.quietMs))
                                  : Deadline::never();
    if (pump(deadline.earliest(quiet).msLeft(), result) == Pump::kStop) return false;
  }
}

void CaptureSession::askSettings(int timeoutMs, CaptureResult* result) {
  mSettingsRequest = mTask->send(proto::kGetCameraSettings, nullptr);
  if (mSettingsRequest < 0) {
    result->outcome = CaptureResult::Outcome::kSendFailed;
    result->message = mTask->error();
    return;
  }
  const Deadline deadline = Deadline::in(timeoutMs);
  while (!result->settings && !deadline.passed()) {
    if (pump(deadline.msLeft(), result) == Pump::kStop) return;
  }
}

}  // namespace tether_host
