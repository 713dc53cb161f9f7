#include "host/web/PictureIndex.h"

#include "host/saving/RatingSidecar.h"
#include "host/web/AccessGuard.h"

namespace tether_host {

std::string PictureIndex::add(int captureId, FileKind kind, const std::string& path) {
  std::string grant = AccessGuard::newToken();
  zy::MutexLock lock(&mMutex);
  mFiles[{captureId, kind}] = {path, grant};
  return grant;
}

std::optional<std::string> PictureIndex::find(int captureId, FileKind kind,
                                              const std::string& grant) const {
  zy::MutexLock lock(&mMutex);
  const auto it = mFiles.find({captureId, kind});
  if (it == mFiles.end() || !AccessGuard::secretsMatch(grant, it->second.grant)) return std::nullopt;
  return it->second.path;
}

PictureIndex::Rated PictureIndex::rate(int captureId, int rating, std::string* error) const {
  std::string path;
  {
    zy::MutexLock lock(&mMutex);
    for (FileKind kind : {FileKind::kJpeg, FileKind::kRaw}) {
      const auto it = mFiles.find({captureId, kind});
      if (it != mFiles.end()) {
        path = it->second.path;
        break;
      }
    }
  }
  if (path.empty()) return Rated::kUnknown;
  const std::string prefix = mOutDir + "/";
  if (mOutDir.empty() || path.compare(0, prefix.size(), prefix) != 0) return Rated::kNotKept;
  return WriteRatingSidecar(mOutDir, path.substr(prefix.size()), rating, error) ? Rated::kDone
                                                                                 : Rated::kFailed;
}

std::optional<FileKind> PictureIndex::kindNamed(const std::string& name) {
  for (FileKind kind : {FileKind::kThumbnail, FileKind::kRaw, FileKind::kJpeg}) {
    if (name == fileKindName(kind)) return kind;
  }
  return std::nullopt;
}

}  // namespace tether_host
