// The files the page may serve: exactly those the session saved, found by
// capture id and kind. Nothing taken from a request is ever used as a path.
// Each file gets a grant of its own (128 random bits): the page's images and
// download links carry it, and it opens that one file and nothing else, so
// that they work without the session's token (an <img> sends no header).
// Ratings are kept in a sidecar beside the capture's picture, inside the
// output folder only.
// Thread-safe: add() on the session's thread, the rest from request threads.
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
  // `outDir`: the folder the session saves into ("" when it keeps files in
  // its temporary folder: nothing can be rated then).
  explicit PictureIndex(std::string outDir = "") : mOutDir(std::move(outDir)) {}

  enum class Rated { kDone, kUnknown, kNotKept, kFailed };
  // Records the file and returns its grant (empty, and the file never
  // served, when the system has no randomness to give).
  std::string add(int captureId, FileKind kind, const std::string& path);
  // The saved file's path when `grant` is the one add() gave for it.
  std::optional<std::string> find(int captureId, FileKind kind, const std::string& grant) const;

  // Writes the capture's rating sidecar (kRatingRejected..kRatingMax, checked
  // by the caller) beside its JPEG, else its DNG. kUnknown for a capture
  // with no picture; kNotKept without an output folder or for a file outside
  // it; kFailed with *error when the write fails.
  Rated rate(int captureId, int rating, std::string* error) const;

  // "thumbnail", "dng", "jpeg" back to the kind; empty for anything else.
  static std::optional<FileKind> kindNamed(const std::string& name);

 private:
  struct Entry {
    std::string path;
    std::string grant;
  };
  const std::string mOutDir;
  mutable zy::Mutex mMutex;
  std::map<std::pair<int, FileKind>, Entry> mFiles GUARDED_BY(mMutex);
};

}  // namespace tether_host

#endif  // TETHER_HOST_WEB_PICTURE_INDEX_H_
