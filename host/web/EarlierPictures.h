// The pictures earlier sessions left in the output folder, so that a shoot
// goes on after a restart: each stem (IMG_0003 with its .jpg, .dng and
// .thumb.jpg) becomes a capture with a negative id, -1 the newest by the
// files' modification time, told through the observer like a new one (no
// orientation: the page reads the file's own tag), with its sidecar's
// rating. Symbolic links and hidden files are passed over; the search goes
// at most kMaxDepth folders down and looks at kMaxEntries names at most, and
// the newest kMaxPictures are shown.
// Thread: before the session runs, on the thread that starts it.
#ifndef TETHER_HOST_WEB_EARLIER_PICTURES_H_
#define TETHER_HOST_WEB_EARLIER_PICTURES_H_

#include <string>

#include "host/web/EventHub.h"
#include "host/web/LiveObserver.h"

namespace tether_host {

constexpr int kMaxDepth = 4;
constexpr size_t kMaxEntries = 100000;
constexpr size_t kMaxPictures = 5000;

// How many pictures were found.
size_t PublishEarlierPictures(const std::string& outDir, LiveObserver* observer, EventHub* hub);

}  // namespace tether_host

#endif  // TETHER_HOST_WEB_EARLIER_PICTURES_H_
