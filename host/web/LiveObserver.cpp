#include "host/web/LiveObserver.h"

#include "host/client/JsonRender.h"

namespace tether_host {
namespace {

std::string Member(const char* key, const std::string& value) {
  return std::string("\"") + key + "\":" + JsonString(value);
}

std::string Member(const char* key, int64_t value) {
  return std::string("\"") + key + "\":" + std::to_string(value);
}

std::string CaptureMembers(int captureId, int number) {
  return Member("id", captureId) + "," + Member("number", number);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string SettingsMembers(const SettingsTexts& s) {
  return Member("iso", s.iso) + "," + Member("aperture", s.aperture) + "," +
         Member("shutter", s.shutter) + "," + Member("whiteBalance", s.whiteBalance);
}

}  // namespace

std::string FileUrl(int captureId, FileKind kind, const std::string& grant) {
  return "/files/" + std::to_string(captureId) + "/" + fileKindName(kind) + "?grant=" + grant;
}

LiveEvent RatingEvent(int captureId, int rating) {
  return {"rating", Member("id", captureId) + "," + Member("rating", rating), LiveEvent::Keep::kLatest,
          std::to_string(captureId)};
}

LiveEvent LiveViewEvent(bool running, const std::string& reason) {
  return {"liveView", std::string("\"running\":") + (running ? "true" : "false") + "," + Member("reason", reason),
          LiveEvent::Keep::kLatest};
}

void LiveObserver::cameraChanged(const std::string& modelName) {
  mHub->publish({"camera", Member("model", modelName), LiveEvent::Keep::kLatest});
}

void LiveObserver::settingsChanged(const SettingsTexts& s) {
  mSettings = s;
  mHub->publish({"settings", SettingsMembers(s), LiveEvent::Keep::kLatest});
}

void LiveObserver::captureAnnounced(const CaptureAnnounced& c) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      c.time.time_since_epoch());
  mHub->publish({"capture",
                 CaptureMembers(c.captureId, c.number) + "," + Member("name", c.cameraName) +
                     "," + Member("orientation", c.orientation) + "," +
                     Member("time", static_cast<int64_t>(ms.count())) + ",\"settings\":{" +
                     SettingsMembers(mSettings) + "}",
                 LiveEvent::Keep::kHistory});
}

void LiveObserver::fileSaved(const FileSaved& f) {
  const std::string grant = mPictures->add(f.captureId, f.kind, f.path);
  mHub->publish({"file",
                 CaptureMembers(f.captureId, f.number) + "," +
                     Member("kind", fileKindName(f.kind)) + "," + Member("size", f.size) + "," +
                     Member("name", BaseName(f.path)) + "," +
                     Member("url", FileUrl(f.captureId, f.kind, grant)),
                 LiveEvent::Keep::kHistory});
}

void LiveObserver::saveFailed(const SaveFailed& f) {
  mHub->publish({"saveFailed",
                 CaptureMembers(f.captureId, f.number) + "," +
                     Member("kind", fileKindName(f.kind)) + "," + Member("message", f.message),
                 LiveEvent::Keep::kHistory});
}

void LiveObserver::captureIncomplete(int captureId, int number, const std::string& missing) {
  mHub->publish({"incomplete", CaptureMembers(captureId, number) + "," + Member("missing", missing),
                 LiveEvent::Keep::kHistory});
}

void LiveObserver::liveFrame(uint32_t sequence, const std::shared_ptr<const std::string>& jpeg) {
  if (mFrames) mFrames->put(sequence, jpeg);
}

void LiveObserver::liveViewStopped(const std::string& reason) {
  if (mFrames) mFrames->setRunning(false);
  mHub->publish(LiveViewEvent(false, reason));
}

}  // namespace tether_host
