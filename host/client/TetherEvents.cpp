#include "host/client/TetherEvents.h"

#include <algorithm>

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
    {FileKind::kRaw, "dng", "raw", "dng"},
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

namespace {

// After the last '.' of the last path component, lower case; empty if none.
std::string LowerExtension(const std::string& name) {
  const size_t slash = name.find_last_of('/');
  const size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return ext;
}

bool IsJpegExtension(const std::string& ext) { return ext == "jpg" || ext == "jpeg"; }

}  // namespace

std::string fileLabel(FileKind kind, const std::string& path) {
  if (kind != FileKind::kRaw) return fileKindLabel(kind);
  std::string label = RawExtensionOf(path);
  for (char& c : label) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return label;
}

FileKind FileKindOfTaskFile(const std::string& path) {
  return IsJpegExtension(LowerExtension(path)) ? FileKind::kJpeg : FileKind::kRaw;
}

std::string RawExtensionOf(const std::string& name) {
  const std::string ext = LowerExtension(name);
  const bool plain = !ext.empty() && ext.size() <= 5 &&
                     std::all_of(ext.begin(), ext.end(), [](char c) {
                       return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
                     });
  return plain && !IsJpegExtension(ext) ? ext : "dng";
}

}  // namespace tether_host
