#include "host/web/PictureIndex.h"

namespace tether_host {

void PictureIndex::add(int captureId, FileKind kind, const std::string& path) {
  zy::MutexLock lock(&mMutex);
  mFiles[{captureId, kind}] = path;
}

std::optional<std::string> PictureIndex::find(int captureId, FileKind kind) const {
  zy::MutexLock lock(&mMutex);
  const auto it = mFiles.find({captureId, kind});
  if (it == mFiles.end()) return std::nullopt;
  return it->second;
}

std::optional<FileKind> PictureIndex::kindNamed(const std::string& name) {
  for (FileKind kind : {FileKind::kThumbnail, FileKind::kDng, FileKind::kJpeg}) {
    if (name == fileKindName(kind)) return kind;
  }
  return std::nullopt;
}

}  // namespace tether_host
