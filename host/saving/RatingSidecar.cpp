#include "host/saving/RatingSidecar.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "host/saving/OutputFiles.h"
#include "host/saving/OutputFolder.h"

namespace tether_host {
namespace {

constexpr size_t kMaxSidecarBytes = 64 * 1024;

// A picture's name is relative to the output folder and every part of it
// names something: no "", "." or ".." on the way (OutputFolder then refuses
// symbolic links).
bool IsNameInside(const std::string& name) {
  for (size_t start = 0; start <= name.size();) {
    size_t slash = name.find('/', start);
    if (slash == std::string::npos) slash = name.size();
    const std::string part = name.substr(start, slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = slash + 1;
  }
  return true;
}

}  // namespace

std::string RatingSidecarText(int rating) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
         " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
         "  <rdf:Description rdf:about=\"\"\n"
         "    xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"\n"
         "    xmp:Rating=\"" + std::to_string(rating) + "\"/>\n"
         " </rdf:RDF>\n"
         "</x:xmpmeta>\n";
}

std::optional<int> ParseRatingSidecar(const std::string& text) {
  static const std::regex rating(R"(xmp:Rating\s*(?:=\s*["']|>\s*)(-?\d{1,3})\s*["'<])");
  std::smatch m;
  if (text.size() > kMaxSidecarBytes || !std::regex_search(text, m, rating)) return std::nullopt;
  const int value = std::stoi(m[1]);
  if (value < kRatingRejected || value > kRatingMax) return std::nullopt;
  return value;
}

std::string SidecarNameFor(const std::string& pictureName) {
  const size_t slash = pictureName.find_last_of('/');
  const size_t dot = pictureName.find_last_of('.');
  const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return (hasExt ? pictureName.substr(0, dot) : pictureName) + ".xmp";
}

bool WriteRatingSidecar(const std::string& outDir, const std::string& pictureName, int rating,
                        std::string* error) {
  if (rating < kRatingRejected || rating > kRatingMax) {
    *error = "a rating is -1 (rejected) or 0 to 5";
    return false;
  }
  if (!IsNameInside(pictureName)) {
    *error = "'" + pictureName + "' is not a name inside " + outDir;
    return false;
  }
  OutputFolder out(outDir);
  return ReplaceDurably(out, SidecarNameFor(pictureName), RatingSidecarText(rating), error);
}

std::optional<int> ReadRatingSidecar(const std::string& outDir, const std::string& pictureName) {
  if (!IsNameInside(pictureName)) return std::nullopt;
  std::string folder, leaf, error;
  SplitName(SidecarNameFor(pictureName), &folder, &leaf);
  OutputFolder out(outDir);
  const ScopedFd dir = out.openFolder(folder, false, &error);
  if (!dir.valid()) return std::nullopt;
  const ScopedFd file(openat(dir.get(), leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!file.valid() || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<size_t>(st.st_size) > kMaxSidecarBytes) {
    return std::nullopt;
  }
  std::string text(static_cast<size_t>(st.st_size), '\0');
  const ssize_t n = pread(file.get(), &text[0], text.size(), 0);
  if (n < 0) return std::nullopt;
  text.resize(static_cast<size_t>(n));
  return ParseRatingSidecar(text);
}

}  // namespace tether_host
