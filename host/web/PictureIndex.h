// The files the page may serve: exactly those the session saved, found by
// capture id and kind. Nothing taken from a request is ever used as a path.
// Thread-safe: add() on the session's thread, find() from request threads.
#ifndef TETHER_HOST_WEB_PICTURE_INDEX_H_
#define TETHER_HOST_WEB_PICTURE_INDEX_H_

#include <map>
#include <optional>
#include <string>
#include <utility>

#include "host/client/TetherEvents.h"
#include "platform/Mutex.h"

namespace tether_host {

class PictureIndex {
 public:
  void add(int captureId, FileKind kind, const std::string& path);
  // The saved file's path; empty when the session saved no such file.
  std::optional<std::string> find(int captureId, FileKind kind) const;

  // "thumbnail", "dng", "jpeg" back to the kind; empty for anything else.
  static std::optional<FileKind> kindNamed(const std::string& name);

 private:
  mutable zy::Mutex mMutex;
  std::map<std::pair<int, FileKind>, std::string> mFiles GUARDED_BY(mMutex);
};

}  // namespace tether_host

#endif  // TETHER_HOST_WEB_PICTURE_INDEX_H_
