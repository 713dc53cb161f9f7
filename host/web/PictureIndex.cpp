#include "host/web/PictureIndex.h"

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

std::optional<FileKind> PictureIndex::kindNamed(const std::string& name) {
  for (FileKind kind : {FileKind::kThumbnail, FileKind::kRaw, FileKind::kJpeg}) {
    if (name == fileKindName(kind)) return kind;
  }
  return std::nullopt;
}

}  // namespace tether_host
