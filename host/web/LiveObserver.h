// Turns the session's events into the page's events: publishes each to the
// hub and records every saved file in the index, so that the page can show
// it by capture id and kind. Each capture carries the exposure settings as
// they stood when it was taken. Runs on the session's thread; never blocks.
// Live frames go to `frames` (when given), never through the hub. The hub,
// the index and the frames are borrowed and must outlive the observer.
#ifndef TETHER_HOST_WEB_LIVE_OBSERVER_H_
#define TETHER_HOST_WEB_LIVE_OBSERVER_H_

#include <string>

#include "host/client/TetherEvents.h"
#include "host/web/EventHub.h"
#include "host/web/LiveFrames.h"
#include "host/web/PictureIndex.h"

namespace tether_host {

// "/files/3/jpeg?grant=...": where the page finds a saved file.
std::string FileUrl(int captureId, FileKind kind, const std::string& grant);

// A capture's rating (-1..5) as the page's "rating" event, one kept per capture.
LiveEvent RatingEvent(int captureId, int rating);

// Live view on or off, and why it ended ("no camera", "stopped from a
// page"): the page's "liveView" event, the latest kept for new pages.
LiveEvent LiveViewEvent(bool running, const std::string& reason);

class LiveObserver : public TetherObserver {
 public:
  LiveObserver(EventHub* hub, PictureIndex* pictures, LiveFrames* frames = nullptr)
      : mHub(hub), mPictures(pictures), mFrames(frames) {}

  void cameraChanged(const std::string& modelName) override;
  void settingsChanged(const SettingsTexts& settings) override;
  void captureAnnounced(const CaptureAnnounced& capture) override;
  void fileSaved(const FileSaved& file) override;
  void saveFailed(const SaveFailed& failure) override;
  void captureIncomplete(int captureId, int number, const std::string& missing) override;
  void liveFrame(uint32_t sequence, const std::shared_ptr<const std::string>& jpeg) override;
  void liveViewStopped(const std::string& reason) override;

 private:
  EventHub* mHub;
  PictureIndex* mPictures;
  LiveFrames* mFrames;
  SettingsTexts mSettings;  // the latest the session reported
};

}  // namespace tether_host

#endif  // TETHER_HOST_WEB_LIVE_OBSERVER_H_
