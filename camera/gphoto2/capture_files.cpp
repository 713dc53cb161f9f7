#include "camera/gphoto2/capture_files.h"

#include <strings.h>

namespace krv_gphoto {

namespace {

// The raw formats of the cameras libgphoto2 drives, by their extensions.
const char* const kRawExtensions[] = {
    "NEF", "NRW", "CR2", "CR3", "CRW", "ARW", "SR2", "SRF", "RAF", "DNG", "ORF",
    "RW2", "RWL", "PEF", "SRW", "3FR", "FFF", "IIQ", "ERF", "MRW", "MEF", "MOS",
    "X3F", "GPR", "KDC", "DCR"};

std::string Extension(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

}  // namespace

FileKind KindOfFile(const std::string& name) {
  const std::string ext = Extension(name);
  if (strcasecmp(ext.c_str(), "JPG") == 0 || strcasecmp(ext.c_str(), "JPEG") == 0) {
    return FileKind::kJpeg;
  }
  for (const char* raw : kRawExtensions) {
    if (strcasecmp(ext.c_str(), raw) == 0) return FileKind::kRaw;
  }
  return FileKind::kOther;
}

std::string FileStem(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

std::vector<Capture> CaptureAssembler::add(const CameraFile& file, Clock::time_point now) {
  std::vector<Capture> closed;
  const FileKind kind = KindOfFile(file.name);
  if (kind == FileKind::kOther) return closed;
  const std::string stem = FileStem(file.name);
  if (mOpen) {
    const bool taken = kind == FileKind::kRaw ? mOpen->raw.has_value() : mOpen->jpeg.has_value();
    if (taken || stem != mOpenStem) closed.push_back(*close());
  }
  if (!mOpen) {
    mOpen = Capture();
    mOpenStem = stem;
  }
  (kind == FileKind::kRaw ? mOpen->raw : mOpen->jpeg) = file;
  mLastAdded = now;
  if (mOpen->raw && mOpen->jpeg) closed.push_back(*close());
  return closed;
}

std::optional<Capture> CaptureAssembler::close() {
  std::optional<Capture> open;
  open.swap(mOpen);
  mOpenStem.clear();
  return open;
}

std::optional<Capture> CaptureAssembler::expire(Clock::time_point now) {
  if (!mOpen || now - mLastAdded < mWindow) return std::nullopt;
  return close();
}

}  // namespace krv_gphoto
