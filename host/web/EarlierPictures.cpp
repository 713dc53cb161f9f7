#include "host/web/EarlierPictures.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <optional>
#include <vector>

#include "host/saving/RatingSidecar.h"

namespace tether_host {
namespace {

namespace fs = std::filesystem;

struct Earlier {
  std::map<FileKind, std::string> files;  // kind -> path
  fs::file_time_type newest = fs::file_time_type::min();
};

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
  return s.size() > suffix.size() &&
         std::equal(suffix.rbegin(), suffix.rend(), s.rbegin(),
                    [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) ==
                                                std::tolower(static_cast<unsigned char>(b)); });
}

// Raw formats a camera saves, as an earlier session may have left them.
constexpr const char* kRawExtensions[] = {".dng", ".nef", ".nrw", ".cr2", ".cr3", ".arw",
                                          ".raf", ".orf", ".rw2", ".pef", ".srw"};

// The kind of a saved file by its name (the thumbnail's "thumb.jpg" before
// the JPEG's "jpg"), and its stem in *stem.
std::optional<FileKind> KindOf(const std::string& name, std::string* stem) {
  const auto ends = [&](const std::string& ext, FileKind kind) -> std::optional<FileKind> {
    if (!EndsWithNoCase(name, ext)) return std::nullopt;
    *stem = name.substr(0, name.size() - ext.size());
    return kind;
  };
  if (auto k = ends(std::string(".") + fileKindExtension(FileKind::kThumbnail), FileKind::kThumbnail)) return k;
  for (const char* ext : {".jpg", ".jpeg"}) {
    if (auto k = ends(ext, FileKind::kJpeg)) return k;
  }
  for (const char* ext : kRawExtensions) {
    if (auto k = ends(ext, FileKind::kRaw)) return k;
  }
  return std::nullopt;
}

void Collect(const fs::path& dir, int depth, size_t* budget, std::map<std::string, Earlier>* found) {
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end && *budget > 0; it.increment(ec)) {
    --*budget;
    const std::string name = it->path().filename().string();
    if (name.empty() || name[0] == '.' || it->is_symlink(ec)) continue;
    if (it->is_directory(ec)) {
      if (depth < kMaxDepth) Collect(it->path(), depth + 1, budget, found);
      continue;
    }
    std::string stem;
    const std::optional<FileKind> kind = KindOf(name, &stem);
    if (!kind || !it->is_regular_file(ec)) continue;
    const std::string key = (it->path().parent_path() / stem).string();
    Earlier& e = (*found)[key];
    e.files[*kind] = it->path().string();
    e.newest = std::max(e.newest, it->last_write_time(ec));
  }
}

}  // namespace

size_t PublishEarlierPictures(const std::string& outDir, LiveObserver* observer, EventHub* hub) {
  std::map<std::string, Earlier> found;
  size_t budget = kMaxEntries;
  Collect(outDir, 0, &budget, &found);
  std::vector<std::pair<std::string, const Earlier*>> pictures;
  for (const auto& [stem, e] : found) {
    if (e.files.count(FileKind::kJpeg) || e.files.count(FileKind::kRaw)) pictures.emplace_back(stem, &e);
  }
  std::sort(pictures.begin(), pictures.end(),
            [](const auto& a, const auto& b) { return a.second->newest < b.second->newest; });
  if (pictures.size() > kMaxPictures) pictures.erase(pictures.begin(), pictures.end() - kMaxPictures);
  const std::string prefix = outDir + "/";
  int id = -static_cast<int>(pictures.size());
  for (const auto& [stem, e] : pictures) {
    const auto time = std::chrono::time_point_cast<std::chrono::system_clock::duration>(
        e->newest - fs::file_time_type::clock::now() + std::chrono::system_clock::now());
    observer->captureAnnounced({id, 0, fs::path(stem).filename().string(), "", time});
    for (const auto& [kind, path] : e->files) {
      struct stat st;
      if (stat(path.c_str(), &st) != 0) continue;
      observer->fileSaved({id, 0, kind, path, static_cast<int64_t>(st.st_size), {}});
    }
    const std::string& picture = e->files.count(FileKind::kJpeg) ? e->files.at(FileKind::kJpeg)
                                                                  : e->files.at(FileKind::kRaw);
    const std::optional<int> rating =
        picture.compare(0, prefix.size(), prefix) == 0
            ? ReadRatingSidecar(outDir, picture.substr(prefix.size()))
            : std::nullopt;
    if (rating && *rating != 0) hub->publish(RatingEvent(id, *rating));
    ++id;
  }
  return pictures.size();
}

}  // namespace tether_host
