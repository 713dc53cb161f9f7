#include "host/saving/RatingSidecar.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <regex>
#include <vector>

#include "platform/Umask.h"

namespace tether_host {
namespace {

constexpr size_t kMaxSidecarBytes = 64 * 1024;

// Closes the descriptor it holds.
class Fd {
 public:
  explicit Fd(int fd = -1) : mFd(fd) {}
  ~Fd() {
    if (mFd >= 0) close(mFd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return mFd; }
  int release() {
    const int fd = mFd;
    mFd = -1;
    return fd;
  }
  void reset(int fd) {
    if (mFd >= 0) close(mFd);
    mFd = fd;
  }

 private:
  int mFd;
};

std::vector<std::string> Components(const std::string& name) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= name.size()) {
    const size_t slash = name.find('/', start);
    const size_t end = slash == std::string::npos ? name.size() : slash;
    parts.push_back(name.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// The folder holding the picture at `relative`, opened below `outDir` one
// folder at a time without following links; the sidecar's name in it in
// *leaf. Invalid with *error otherwise.
int OpenFolderOf(const std::string& outDir, const std::string& relative, std::string* leaf,
                 std::string* error) {
  const std::vector<std::string> parts = Components(relative);
  for (const std::string& part : parts) {
    if (part.empty() || part == "." || part == "..") {
      *error = "'" + relative + "' is not a name inside " + outDir;
      return -1;
    }
  }
  Fd folder(open(outDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (size_t i = 0; folder.get() >= 0 && i + 1 < parts.size(); ++i) {
    folder.reset(openat(folder.get(), parts[i].c_str(),
                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  if (folder.get() < 0) {
    *error = "cannot open the folder of " + outDir + "/" + relative + " (symbolic links are not followed): " +
             strerror(errno);
    return -1;
  }
  *leaf = SidecarNameFor(parts.back());
  return folder.release();
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string HiddenTempName(const std::string& leaf) {
  std::random_device random;
  return "." + leaf + "." + std::to_string(random()) + ".tmp";
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
  std::string leaf;
  Fd folder(OpenFolderOf(outDir, pictureName, &leaf, error));
  if (folder.get() < 0) return false;
  const std::string temp = HiddenTempName(leaf);
  const mode_t mode = static_cast<mode_t>(0644 & ~zy::currentUmask());
  Fd file(openat(folder.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 mode));
  bool ok = file.get() >= 0 && WriteAll(file.get(), RatingSidecarText(rating)) &&
            fsync(file.get()) == 0;
  // The sidecar is ours: replacing it (a symbolic link there included, never
  // followed) is the point.
  ok = ok && renameat(folder.get(), temp.c_str(), folder.get(), leaf.c_str()) == 0;
  const int saved = ok ? 0 : errno;
  if (!ok && file.get() >= 0) unlinkat(folder.get(), temp.c_str(), 0);
  ok = ok && fsync(folder.get()) == 0;
  if (!ok) {
    *error = "cannot write " + outDir + "/" + SidecarNameFor(pictureName) + ": " +
             strerror(saved ? saved : errno);
  }
  return ok;
}

std::optional<int> ReadRatingSidecar(const std::string& outDir, const std::string& pictureName) {
  std::string leaf, error;
  Fd folder(OpenFolderOf(outDir, pictureName, &leaf, &error));
  if (folder.get() < 0) return std::nullopt;
  Fd file(openat(folder.get(), leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (file.get() < 0 || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
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
