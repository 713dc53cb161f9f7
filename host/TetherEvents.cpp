#include "host/TetherEvents.h"

namespace tether_host {

const char* fileKindName(FileKind kind) {
  switch (kind) {
    case FileKind::kThumbnail: return "thumbnail";
    case FileKind::kDng: return "dng";
    case FileKind::kJpeg: return "jpeg";
  }
  return "file";
}

}  // namespace tether_host
