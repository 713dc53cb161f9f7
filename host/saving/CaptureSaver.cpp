#include "host/saving/CaptureSaver.h"

#include <algorithm>
#include <cmath>

#include "source/ProtocolNames.h"

namespace tether_host {

namespace proto = tether::proto;

namespace {

constexpr FileKind kKinds[] = {FileKind::kThumbnail, FileKind::kRaw, FileKind::kJpeg};

// A capture id as it travels: a double that must hold an integer.
bool CaptureIdOf(const HostMessage& m, int* id) {
  const auto v = m.number(proto::kCaptureId);
  if (!v || !std::isfinite(*v) || *v != std::trunc(*v) || std::fabs(*v) > 2147483647.0) return false;
  *id = static_cast<int>(*v);
  return true;
}

}  // namespace

CaptureSaver::CaptureSaver(Options options, TetherObserver* sink)
    : mOptions(std::move(options)), mSink(sink), mOut(mOptions.outDir) {}

bool CaptureSaver::handle(const HostMessage& m) {
  int id = 0;
  const bool capture = m.name == proto::kObjectWasAdded ||
                       m.name == proto::kThumbnailWasDownloaded ||
                       m.name == proto::kFileDownloadComplete;
  if (!capture || !CaptureIdOf(m, &id)) return capture;
  mReportedAt = std::chrono::steady_clock::now();
  if (m.name == proto::kObjectWasAdded) announce(m, id);
  else if (m.name == proto::kThumbnailWasDownloaded) saveThumbnail(m, id);
  else saveFile(m, id);
  return true;
}

CaptureSaver::Capture& CaptureSaver::captureFor(int captureId) {
  auto it = mCaptures.find(captureId);
  if (it == mCaptures.end()) {
    Capture c;
    c.captureId = captureId;
    c.progress.number = ++mRecord.pictures;
    c.fields.number = c.progress.number;
    c.fields.cameraStem = CaptureBaseName("", captureId);
    c.fields.time = std::chrono::system_clock::now();
    it = mCaptures.emplace(captureId, c).first;
    mNewest = captureId;
  }
  it->second.progress.lastNews = std::chrono::steady_clock::now();
  return it->second;
}

void CaptureSaver::announce(const HostMessage& m, int captureId) {
  Capture& c = captureFor(captureId);
  CaptureAnnounced event;
  event.captureId = captureId;
  event.number = c.progress.number;
  event.cameraName = m.string(proto::kFileName).value_or("");
  event.orientation = m.string(proto::kImageOrientation).value_or("");
  event.time = c.fields.time;
  // Files already placed keep their stem, so a capture's files share one.
  if (!c.suffixChosen) {
    c.fields.cameraStem = CaptureBaseName(event.cameraName, captureId);
    c.rawExtension = RawExtensionOf(event.cameraName);
  }
  mSink->captureAnnounced(event);
}

void CaptureSaver::saveThumbnail(const HostMessage& m, int captureId) {
  Capture& c = captureFor(captureId);
  c.progress.thumbnail = true;
  const ZyLuaTEData* data = m.data(proto::kThumbnailData);
  if (data == nullptr) return fail(c, FileKind::kThumbnail, "the thumbnail came without data");
  std::string error;
  const std::string dir = mOptions.tempDir.empty() ? mOptions.outDir : mOptions.tempDir;
  std::string temp;
  if (!WriteUniqueFile(dir, ".thumbnail-" + std::to_string(++mTempSerial), ".jpg", 0, data->mBytes,
                       static_cast<size_t>(std::max(0, data->mLength)), &temp, &error)) {
    return fail(c, FileKind::kThumbnail, error);
  }
  place(c, FileKind::kThumbnail, temp, -1);
}

void CaptureSaver::saveFile(const HostMessage& m, int captureId) {
  Capture& c = captureFor(captureId);
  const std::string source = m.string(proto::kFilePath).value_or("");
  const FileKind kind = FileKindOfTaskFile(source);
  if (kind == FileKind::kRaw) c.rawExtension = RawExtensionOf(source);
  (kind == FileKind::kRaw ? c.progress.dng : c.progress.jpeg) = true;
  const auto reported = m.number(proto::kFileSize);
  if (source.empty()) return fail(c, kind, "the file was reported without a path");
  if (!mOptions.tempDir.empty() && !tempDirHolds(source)) {
    return fail(c, kind, "not moving " + source + ": it is not in this session's temporary folder " +
                             mOptions.tempDir);
  }
  place(c, kind, source, reported ? static_cast<int64_t>(*reported) : -1);
}

bool CaptureSaver::tempDirHolds(const std::string& path) const {
  const std::string& dir = mOptions.tempDir;
  return path.size() > dir.size() + 1 && path.compare(0, dir.size(), dir) == 0 &&
         path[dir.size()] == '/' && path.find('/', dir.size() + 1) == std::string::npos;
}

std::string CaptureSaver::nameOf(const Capture& c, FileKind kind, int n) const {
  return mOptions.pattern.expand(c.fields, kind == FileKind::kRaw ? c.rawExtension : fileKindExtension(kind), n);
}

std::vector<std::string> CaptureSaver::namesAt(const Capture& c, int n) const {
  std::vector<std::string> names;
  for (FileKind k : kKinds) names.push_back(nameOf(c, k, n));
  return names;
}

// A file of a kind this capture has not placed sits at its stem.
bool CaptureSaver::foreignAtStem(const Capture& c) {
  for (FileKind k : kKinds) {
    const bool ours = std::any_of(c.placed.begin(), c.placed.end(),
                                  [&](const Capture::Placed& p) { return p.kind == k; });
    if (!ours && mOut.holds(nameOf(c, k, c.suffix))) return true;
  }
  return false;
}

bool CaptureSaver::restake(Capture& c, std::string* error) {
  // Each round moves past at least one stem that someone else holds; the
  // bound only stops a folder being filled as fast as we look.
  for (int round = 0; round < 1000; ++round) {
    const int stem = FirstFreeSuffix(mOut, c.suffix + 1, [&](int n) { return namesAt(c, n); });
    if (stem >= kMaxSuffix) break;
    c.suffix = stem;
    bool all = true;
    for (Capture::Placed& p : c.placed) {
      const std::string to = nameOf(c, p.kind, stem);
      if (p.name == to) continue;
      const Placed moved = MoveWithin(mOut, p.name, to, error);
      if (moved == Placed::kFailed) return false;
      if (moved == Placed::kTaken) {
        all = false;
        break;
      }
      if (p.record < mRecord.files.size()) {
        mRecord.problems.push_back("moved " + mOut.pathOf(p.name) + " to " + mOut.pathOf(to) +
                                   ": another writer took a name of picture " +
                                   std::to_string(c.progress.number) + ", whose files share one name");
        mRecord.files[p.record].path = mOut.pathOf(to);
      }
      p.name = to;
    }
    if (all && !foreignAtStem(c)) {
      for (const Capture::Placed& p : c.placed) {
        if (p.record < mRecord.files.size()) report(c, mRecord.files[p.record]);
      }
      return true;
    }
  }
  *error = "no stem is free for every file of " + mOut.pathOf(nameOf(c, kKinds[0], 0));
  return false;
}

void CaptureSaver::place(Capture& c, FileKind kind, const std::string& source, int64_t reported) {
  const auto nameAt = [&](int n) { return nameOf(c, kind, n); };
  Placement placement;
  std::string error;
  const bool first = c.placed.empty();
  if (!c.suffixChosen) {
    c.suffix = FirstFreeSuffix(mOut, 0, [&](int n) { return namesAt(c, n); });
    c.suffixChosen = true;
  }
  // The first file may go on past a taken name; later ones take the stem.
  Placed result = PlaceDurably(source, mOut, nameAt, c.suffix, first ? kMaxSuffix - 1 : c.suffix,
                               &placement, &error);
  for (int tries = 0; result == Placed::kTaken && !first && tries < 10 && restake(c, &error); ++tries) {
    result = PlaceDurably(source, mOut, nameAt, c.suffix, c.suffix, &placement, &error);
  }
  if (result != Placed::kDone) return fail(c, kind, error);
  c.suffix = placement.n;
  c.placed.push_back({kind, placement.name, static_cast<size_t>(-1)});
  if (first && foreignAtStem(c) && !restake(c, &error)) {
    return fail(c, kind, "placed at " + mOut.pathOf(c.placed.back().name) + " but " + error);
  }
  SavedFile file;
  file.captureId = c.captureId;
  file.number = c.progress.number;
  file.kind = kind;
  file.path = mOut.pathOf(c.placed.back().name);
  file.size = placement.size;
  file.reportedSize = reported;
  if (!file.sizeMatches()) {
    mRecord.problems.push_back(file.path + ": " + std::to_string(file.size) +
                               " bytes on disk, the camera reported " + std::to_string(reported));
  }
  c.placed.back().record = mRecord.files.size();
  mRecord.files.push_back(file);
  report(c, file);
}

void CaptureSaver::report(const Capture& c, const SavedFile& file) {
  FileSaved event;
  event.captureId = c.captureId;
  event.number = c.progress.number;
  event.kind = file.kind;
  event.path = file.path;
  event.size = file.size;
  event.reportedAt = mReportedAt;
  mSink->fileSaved(event);
}

void CaptureSaver::fail(Capture& c, FileKind kind, const std::string& message) {
  c.progress.failed = true;
  SaveFailed failure;
  failure.captureId = c.captureId;
  failure.number = c.progress.number;
  failure.kind = kind;
  failure.message = message;
  mRecord.failures.push_back(failure);
  mSink->saveFailed(failure);
}

void CaptureSaver::taskRefusedSave(FileKind kind, const std::string& why) {
  Capture& c = captureFor(mNewest);
  (kind == FileKind::kRaw ? c.progress.dng : c.progress.jpeg) = true;
  fail(c, kind, "the task did not save the " + std::string(kind == FileKind::kRaw ? "raw file" : "JPEG") +
                    ": " + why);
}

void CaptureSaver::finish() {
  mRecord.incomplete.clear();  // files may have come since the last call
  for (auto& [id, c] : mCaptures) {
    std::string missing;
    if (!c.progress.thumbnail) missing = "thumbnail";
    if (c.progress.files() == 0) missing += missing.empty() ? "image file" : " and image file";
    if (missing.empty()) continue;
    mRecord.incomplete.push_back({id, c.progress.number, missing});
    if (!c.listedIncomplete) mSink->captureIncomplete(id, c.progress.number, missing);
    c.listedIncomplete = true;
  }
}

bool CaptureSaver::allDone(int quietMs) const {
  for (const auto& entry : mCaptures) {
    if (!entry.second.progress.done(quietMs)) return false;
  }
  return true;
}

const CaptureSaver::Progress* CaptureSaver::progress(int captureId) const {
  const auto it = mCaptures.find(captureId);
  return it == mCaptures.end() ? nullptr : &it->second.progress;
}

}  // namespace tether_host
