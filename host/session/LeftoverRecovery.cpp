#include "host/session/LeftoverRecovery.h"

#include <unistd.h>

#include <climits>
#include <fstream>
#include <iterator>
#include <map>

#include "source/ProtocolNames.h"

namespace tether_host {

namespace proto = tether::proto;

namespace {

constexpr size_t kMaxThumbnailBytes = 64 << 20;  // bigger than any preview a camera sends

// The number in "<prefix><digits><suffix>", or -1.
long NumberIn(const std::string& name, const std::string& prefix, const std::string& suffix) {
  if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return -1;
  }
  const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::stol(digits);
}

// What the task and the saver leave in a session folder.
// The task names a raw file by its format ("TetherTMP7.NEF"), so any
// extension of 1 to 5 upper-case letters or digits counts.
long CaptureFileId(const std::string& name) {
  const size_t dot = name.find_last_of('.');
  if (dot == std::string::npos) return -1;
  const std::string ext = name.substr(dot);
  if (ext.size() < 2 || ext.size() > 6 ||
      ext.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", 1) != std::string::npos) {
    return -1;
  }
  return NumberIn(name, "TetherTMP", ext);
}
long ThumbnailSerial(const std::string& name) { return NumberIn(name, ".thumbnail-", ".jpg"); }

class Collector : public TetherObserver {
 public:
  explicit Collector(RecoveryResult* result) : mResult(result) {}
  void fileSaved(const FileSaved& file) override { mResult->saved.push_back(file); ++mSaved; }
  void saveFailed(const SaveFailed& failure) override { mResult->failures.push_back(failure); }
  int savedCount() const { return mSaved; }

 private:
  RecoveryResult* mResult;
  int mSaved = 0;
};

HostMessage Message(const char* name, int captureId) {
  HostMessage m;
  m.name = name;
  auto* table = new ZyLuaTETable();
  table->Set(proto::kCaptureId, new ZyLuaTENumber(captureId));
  m.payload.reset(table);
  return m;
}

void RecoverThumbnail(const std::string& dir, const std::string& name, int captureId,
                      CaptureSaver* saver, const Collector& collector) {
  const std::string path = dir + "/" + name;
  std::ifstream in(path, std::ios::binary);
  std::string bytes;
  bytes.resize(kMaxThumbnailBytes + 1);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  if (!in.eof() || bytes.size() > kMaxThumbnailBytes) return;  // unreadable or no thumbnail
  HostMessage added = Message(proto::kObjectWasAdded, captureId);
  added.table()->Set(proto::kFileName, new ZyLuaTEString(name.substr(1)));
  saver->handle(added);
  HostMessage thumb = Message(proto::kThumbnailWasDownloaded, captureId);
  thumb.table()->Set(proto::kThumbnailData,
                     new ZyLuaTEData(bytes.data(), static_cast<int>(bytes.size())));
  const int before = collector.savedCount();
  saver->handle(thumb);
  if (collector.savedCount() > before) unlink(path.c_str());  // a copy of it is saved
}

void RecoverFolder(const AbandonedTempDir& found, const std::string& outDir,
                   const FilenamePattern& pattern, RecoveryResult* result) {
  std::string error;
  const std::unique_ptr<PrivateTempDir> dir = PrivateTempDir::adopt(found.path, &error);
  if (!dir) return;  // taken up again meanwhile, or not ours: left alone
  Collector collector(result);
  CaptureSaver saver({outDir, pattern, found.path}, &collector);
  std::map<long, std::vector<std::string>> captures;  // by capture id, so files share a stem
  std::vector<std::string> thumbnails;
  for (const std::string& name : found.names) {
    if (CaptureFileId(name) >= 0) captures[CaptureFileId(name)].push_back(name);
    else if (ThumbnailSerial(name) >= 0) thumbnails.push_back(name);
  }
  long nextId = captures.empty() ? 1 : captures.rbegin()->first + 1;
  for (const auto& [id, names] : captures) {
    for (const std::string& name : names) {
      HostMessage m = Message(proto::kFileDownloadComplete, static_cast<int>(id));
      m.table()->Set(proto::kFilePath, new ZyLuaTEString(found.path + "/" + name));
      saver.handle(m);
    }
  }
  for (const std::string& name : thumbnails) {
    if (nextId < INT_MAX) RecoverThumbnail(found.path, name, static_cast<int>(nextId++), &saver, collector);
  }
  for (const std::string& left : dir->removeOrList()) result->kept.push_back(left);
}

}  // namespace

std::string DescribeLeftovers(const std::vector<AbandonedTempDir>& found) {
  std::string where;
  size_t folders = 0, files = 0;
  for (const AbandonedTempDir& dir : found) {
    if (dir.names.empty()) continue;
    ++folders;
    files += dir.names.size();
    where += (where.empty() ? "" : ", ") + dir.path + " (" + std::to_string(dir.names.size()) +
             (dir.names.size() == 1 ? " file)" : " files)");
  }
  if (folders == 0) return "";
  return std::to_string(files) + (files == 1 ? " file" : " files") +
         " left by an earlier session that did not end: " + where +
         "; 'tether-host recover --out DIR' moves the pictures in";
}

RecoveryResult RecoverLeftovers(const std::string& tempParent, const std::string& outDir,
                                const FilenamePattern& pattern) {
  RecoveryResult result;
  for (const AbandonedTempDir& found : PrivateTempDir::findAbandoned(tempParent)) {
    // An empty one may be a session that has just made it and not yet
    // locked it: left alone.
    if (found.names.empty()) continue;
    RecoverFolder(found, outDir, pattern, &result);
  }
  return result;
}

}  // namespace tether_host
