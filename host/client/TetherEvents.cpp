#include "host/client/TetherEvents.h"

namespace tether_host {
namespace {

// Everything tether-host says about a kind of file, in one row per kind.
struct FileKindRow {
  FileKind kind;
  const char* name;
  const char* label;
  const char* extension;
};

constexpr FileKindRow kFileKinds[] = {
    {FileKind::kThumbnail, "thumbnail", "thumbnail", "thumb.jpg"},
    {FileKind::kDng, "dng", "DNG", "dng"},
    {FileKind::kJpeg, "jpeg", "JPEG", "jpg"},
};

const FileKindRow& rowOf(FileKind kind) {
  for (const FileKindRow& row : kFileKinds) {
    if (row.kind == kind) return row;
  }
  return kFileKinds[0];  // unreachable: every enumerator has a row
}

}  // namespace

const char* fileKindName(FileKind kind) { return rowOf(kind).name; }
const char* fileKindLabel(FileKind kind) { return rowOf(kind).label; }
const char* fileKindExtension(FileKind kind) { return rowOf(kind).extension; }

}  // namespace tether_host
