#include "host/CaptureSession.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "host/OutputFiles.h"

namespace tether_host {

namespace {

using Clock = std::chrono::steady_clock;

const std::vector<std::string> kCaptureExtensions = {".dng", ".jpg", ".thumb.jpg"};

int MsUntil(Clock::time_point t) {
  return static_cast<int>(std::max<int64_t>(
      0, std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count()));
}

std::string Seconds(int ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g s", ms / 1000.0);
  return buf;
}

int64_t SizeOnDisk(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

std::string KindForExtension(const std::string& ext) {
  if (ext == ".dng") return "DNG";
  if (ext == ".jpg") return "JPEG";
  std::string kind = ext.empty() ? "FILE" : ext.substr(1);
  std::transform(kind.begin(), kind.end(), kind.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return kind;
}

// A capture id as it travels: a double that must hold an integer.
bool CaptureIdOf(const HostMessage& m, int* id) {
  const auto v = m.number("capture_id");
  if (!v || !std::isfinite(*v) || *v != std::trunc(*v) || std::fabs(*v) > 2147483647.0) return false;
  *id = static_cast<int>(*v);
  return true;
}

}  // namespace

CaptureSession::CaptureSession(TaskProcess* task, CaptureOptions options, Progress progress)
    : mTask(task), mOptions(std::move(options)), mProgress(std::move(progress)) {
  if (!mProgress) mProgress = [](const std::string&) {};
}

CaptureResult CaptureSession::run() {
  CaptureResult result;
  if (!waitForCamera(&result)) return result;
  for (int i = 1; i <= mOptions.count; ++i) {
    if (!takeOneImage(i, &result)) return result;
    ++result.capturesCompleted;
  }
  askSettings(&result);
  return result;
}

CaptureSession::Pump CaptureSession::pump(int timeoutMs, CaptureResult* result) {
  HostMessage message;
  switch (mTask->read(&message, timeoutMs, mOptions.wakeFd)) {
    case TaskProcess::ReadStatus::kMessage:
      handle(message, result);
      return Pump::kMessage;
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

CaptureSession::CaptureState& CaptureSession::stateFor(int captureId) {
  auto it = mCaptures.find(captureId);
  if (it == mCaptures.end()) {
    CaptureState state;
    state.base = "capture" + std::to_string(captureId);
    state.suffix = FirstFreeSuffix(mOptions.outDir, state.base, kCaptureExtensions);
    it = mCaptures.emplace(captureId, state).first;
  }
  it->second.lastNews = Clock::now();
  return it->second;
}

void CaptureSession::nameCapture(int captureId, const std::string& fileName) {
  const bool known = mCaptures.count(captureId) != 0;
  CaptureState& state = stateFor(captureId);
  if (!known) mAnnounced.push_back(captureId);
  // Files already placed under a provisional name keep it, so that the
  // capture's files share one stem.
  if (state.named || state.files > 0 || state.thumbnail) return;
  state.named = true;
  state.base = CaptureBaseName(fileName, captureId);
  state.suffix = FirstFreeSuffix(mOptions.outDir, state.base, kCaptureExtensions);
}

void CaptureSession::handle(const HostMessage& m, CaptureResult* result) {
  if (m.name == "deviceAdded") {
    mCameraPresent = true;
    result->deviceId = static_cast<int>(m.number("device_id").value_or(0));
    result->cameraName = m.string("name").value_or("");
    mProgress("camera connected: " + result->cameraName + " (" +
              std::to_string(result->deviceId) + ")");
    return;
  }
  if (m.name == "deviceRemoved") {
    mCameraPresent = false;
    mProgress("camera disconnected");
    return;
  }
  if (m.name == "ok" && m.id == mSettingsRequest && m.payload) {
    result->settings.reset(m.payload->copy());
    return;
  }
  int id = 0;
  if (m.name == "objectWasAdded" && CaptureIdOf(m, &id)) {
    const std::string fileName = m.string("file_name").value_or("");
    nameCapture(id, fileName);
    mProgress("capture " + std::to_string(id) + ": " + fileName);
    return;
  }
  if (m.name == "thumbnailWasDownloaded" && CaptureIdOf(m, &id)) {
    CaptureState& state = stateFor(id);
    const ZyLuaTEData* data = m.data("thumbnail_data");
    if (data == nullptr) {
      result->problems.push_back("capture " + std::to_string(id) + ": thumbnail without data");
      return;
    }
    SavedFile file;
    file.captureId = id;
    file.kind = "thumbnail";
    std::string error;
    if (!WriteUniqueFile(mOptions.outDir, state.base, ".thumb.jpg", state.suffix, data->mBytes,
                         static_cast<size_t>(std::max(0, data->mLength)), &file.path, &error)) {
      result->problems.push_back("capture " + std::to_string(id) + ": " + error);
      return;
    }
    state.thumbnail = true;
    file.size = SizeOnDisk(file.path);
    mProgress("  saved " + file.path + " (" + std::to_string(file.size) + " bytes)");
    result->files.push_back(file);
    return;
  }
  if (m.name == "fileDownloadComplete" && CaptureIdOf(m, &id)) {
    CaptureState& state = stateFor(id);
    const std::string source = m.string("file_path").value_or("");
    const auto reported = m.number("file_size");
    if (source.empty()) {
      result->problems.push_back("capture " + std::to_string(id) + ": file report without a path");
      return;
    }
    const std::string ext = ExtensionForFile(source);
    SavedFile file;
    file.captureId = id;
    file.kind = KindForExtension(ext);
    file.reportedSize = reported ? static_cast<int64_t>(*reported) : -1;
    std::string error;
    if (!MoveToUniquePath(source, mOptions.outDir, state.base, ext, state.suffix, &file.path,
                          &error)) {
      result->problems.push_back("capture " + std::to_string(id) + ": " + error);
      return;
    }
    ++state.files;
    state.dng |= ext == ".dng";
    state.jpeg |= ext == ".jpg";
    file.size = SizeOnDisk(file.path);
    mProgress("  saved " + file.path + " (" + std::to_string(file.size) + " bytes)");
    if (!file.sizeMatches()) {
      result->problems.push_back(file.path + ": " + std::to_string(file.size) +
                                 " bytes on disk, the camera reported " +
                                 std::to_string(file.reportedSize));
    }
    result->files.push_back(file);
    return;
  }
  // Settings changes and anything unknown need nothing from us.
}

bool CaptureSession::waitForCamera(CaptureResult* result) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(mOptions.cameraTimeoutMs);
  while (!mCameraPresent) {
    const int left = MsUntil(deadline);
    const Pump p = left == 0 ? Pump::kTimeout : pump(left, result);
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
  if (mTask->send("doCapture", nullptr) < 0) {
    result->outcome = CaptureResult::Outcome::kSendFailed;
    result->message = mTask->error();
    return false;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(mOptions.captureTimeoutMs);
  const auto timedOut = [&](const std::string& what) {
    result->outcome = CaptureResult::Outcome::kTimeout;
    result->message = "capture " + std::to_string(index) + ": " + what + " within " +
                      Seconds(mOptions.captureTimeoutMs);
    return false;
  };

  // The capture's id is the first one announced that no earlier request has
  // claimed.
  while (mClaimed == mAnnounced.size()) {
    const int left = MsUntil(deadline);
    if (left == 0) return timedOut("the camera announced no image");
    const Pump p = pump(left, result);
    if (p == Pump::kStop) return false;
    if (!mCameraPresent) {
      result->outcome = CaptureResult::Outcome::kNoCamera;
      result->message = "the camera was disconnected during capture " + std::to_string(index);
      return false;
    }
  }
  const int id = mAnnounced[mClaimed++];

  for (;;) {
    const CaptureState& state = mCaptures[id];
    if (state.thumbnail && state.dng && state.jpeg) return true;
    // A later capture has begun: this one will get nothing more.
    if (mAnnounced.size() > mClaimed && state.thumbnail && state.files > 0) return true;
    const bool enough = state.thumbnail && state.files > 0;
    const int toDeadline = MsUntil(deadline);
    const int toQuiet = MsUntil(state.lastNews + std::chrono::milliseconds(mOptions.quietMs));
    if (enough && toQuiet == 0) return true;
    if (toDeadline == 0) {
      return timedOut(state.thumbnail ? "no image file arrived" : "no thumbnail arrived");
    }
    const Pump p = pump(enough ? std::min(toQuiet, toDeadline) : toDeadline, result);
    if (p == Pump::kStop) return false;
  }
}

void CaptureSession::askSettings(CaptureResult* result) {
  mSettingsRequest = mTask->send("getCameraSettings", nullptr);
  if (mSettingsRequest < 0) {
    result->outcome = CaptureResult::Outcome::kSendFailed;
    result->message = mTask->error();
    return;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(mOptions.settingsTimeoutMs);
  while (!result->settings) {
    const int left = MsUntil(deadline);
    if (left == 0) return;  // no camera any more: the table says so
    if (pump(left, result) == Pump::kStop) return;
  }
}

}  // namespace tether_host
