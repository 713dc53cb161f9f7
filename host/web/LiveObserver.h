// Turns the session's events into the page's events: publishes each to the
// hub and records every saved file in the index, so that the page can show
// it by capture id and kind. Each capture carries the exposure settings as
// they stood when it was taken. Runs on the session's thread; never blocks.
// The hub and the index are borrowed and must outlive the observer.
#ifndef TETHER_HOST_WEB_LIVE_OBSERVER_H_
#define TETHER_HOST_WEB_LIVE_OBSERVER_H_

#include <string>

#include "host/client/TetherEvents.h"
#include "host/web/EventHub.h"
#include "host/web/PictureIndex.h"

namespace tether_host {

// "/files/3/jpeg?grant=...": where the page finds a saved file.
std::string FileUrl(int captureId, FileKind kind, const std::string& grant);

// A capture's rating (-1..5) as the page's "rating" event, one kept per capture.
LiveEvent RatingEvent(int captureId, int rating);

class LiveObserver : public TetherObserver {
 public:
  LiveObserver(EventHub* hub, PictureIndex* pictures) : mHub(hub), mPictures(pictures) {}

  void cameraChanged(const std::string& modelName) override;
  void settingsChanged(const SettingsTexts& settings) override;
  void captureAnnounced(const CaptureAnnounced& capture) override;
  void fileSaved(const FileSaved& file) override;
  void saveFailed(const SaveFailed& failure) override;
  void captureIncomplete(int captureId, int number, const std::string& missing) override;

 private:
  EventHub* mHub;
  PictureIndex* mPictures;
  SettingsTexts mSettings;  // the latest the session reported
};

}  // namespace tether_host

#endif  // TETHER_HOST_WEB_LIVE_OBSERVER_H_
