#include "host/saving/OutputFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "platform/Umask.h"

namespace tether_host {

namespace {

// Far more than any real directory holds under one stem; a bound only so a
// pathological directory cannot make us loop for ever.
constexpr int kMaxSuffix = 100000;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && Lower(s.substr(s.size() - suffix.size())) == suffix;
}

// `name` inside `dir`; "" stands for the current folder.
std::string InFolder(const std::string& dir, const std::string& name) {
  return (dir.empty() ? std::string(".") : dir) + "/" + name;
}

bool WriteAllFd(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Opens the first free NumberedPath exclusively; -1 with *error on failure.
int CreateExclusive(const std::string& dir, const std::string& base, const std::string& ext,
                    int startN, std::string* path, std::string* error) {
  for (int n = startN; n < kMaxSuffix; ++n) {
    *path = NumberedPath(dir, base, n, ext);
    const int fd = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) return fd;
    if (errno != EEXIST) {
      *error = "cannot create " + *path + ": " + strerror(errno);
      return -1;
    }
  }
  *error = "no free name for " + NumberedPath(dir, base, 0, ext);
  return -1;
}

}  // namespace

std::string CaptureBaseName(const std::string& fileName, int captureId) {
  std::string name = fileName.substr(fileName.find_last_of('/') == std::string::npos
                                         ? 0
                                         : fileName.find_last_of('/') + 1);
  for (char& c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '\\') c = '_';
  }
  bool stripped = false;
  for (bool again = true; again;) {
    again = false;
    for (const char* ext : {".dng", ".jpg", ".jpeg"}) {
      if (EndsWithNoCase(name, ext)) {
        name.resize(name.size() - strlen(ext));
        stripped = again = true;
      }
    }
  }
  if (!stripped) {
    const size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
  }
  if (name.empty() || name == "." || name == ".." || name[0] == '.') {
    return "capture" + std::to_string(captureId);
  }
  return name;
}

std::string ExtensionForFile(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = Lower(path.substr(dot));
  return ext == ".jpeg" ? ".jpg" : ext;
}

std::string NumberedPath(const std::string& dir, const std::string& base, int n,
                         const std::string& ext) {
  std::string path = dir.empty() ? "." : dir;
  if (path.back() != '/') path += '/';
  path += base;
  if (n > 0) path += "-" + std::to_string(n);
  return path + ext;
}

int FirstFreeSuffix(const std::string& dir,
                    const std::function<std::vector<std::string>(int n)>& namesAt) {
  for (int n = 0; n < kMaxSuffix; ++n) {
    const std::vector<std::string> names = namesAt(n);
    const bool taken = std::any_of(names.begin(), names.end(), [&](const std::string& name) {
      struct stat st;
      return lstat(InFolder(dir, name).c_str(), &st) == 0;
    });
    if (!taken) return n;
  }
  return kMaxSuffix;
}

bool WriteUniqueFile(const std::string& dir, const std::string& base, const std::string& ext,
                     int startN, const void* bytes, size_t size, std::string* finalPath,
                     std::string* error) {
  std::string path;
  const int fd = CreateExclusive(dir, base, ext, startN, &path, error);
  if (fd < 0) return false;
  const bool written = WriteAllFd(fd, static_cast<const char*>(bytes), size);
  const int savedErrno = errno;
  if (close(fd) != 0 || !written) {
    *error = "cannot write " + path + ": " + strerror(written ? errno : savedErrno);
    unlink(path.c_str());
    return false;
  }
  *finalPath = path;
  return true;
}

}  // namespace tether_host

namespace tether_host {

namespace {

mode_t UserFileMode() {
  static const mode_t mode = static_cast<mode_t>(0644 & ~zy::currentUmask());
  return mode;
}

std::string Parent(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// fsync of the file at `path` (after giving it ordinary permissions) and of
// its folder: only then is a new name of a file known to survive a crash.
bool MakeDurable(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = fd >= 0 && fchmod(fd, UserFileMode()) == 0 && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  if (ok) {
    const int dirFd = open(Parent(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = dirFd >= 0 && fsync(dirFd) == 0;
    if (dirFd >= 0) close(dirFd);
  }
  if (!ok) *error = "cannot make " + path + " durable: " + strerror(errno);
  return ok;
}

// Copies `source` into a new hidden file in `folder` and fsyncs it; returns
// its path, or "" with *error set.
std::string CopyBeside(const std::string& source, const std::string& folder, std::string* error) {
  std::string temp = folder + "/.tether-partial-XXXXXX";
  const int out = mkostemp(temp.data(), O_CLOEXEC);
  if (out < 0) {
    *error = "cannot create a file in " + folder + ": " + strerror(errno);
    return "";
  }
  const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = in >= 0;
  char buf[256 * 1024];
  while (ok) {
    const ssize_t r = read(in, buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      ok = r == 0;
      break;
    }
    ok = WriteAllFd(out, buf, static_cast<size_t>(r));
  }
  ok = ok && fchmod(out, UserFileMode()) == 0 && fsync(out) == 0;
  const int savedErrno = errno;
  ok = close(out) == 0 && ok;
  if (in >= 0) close(in);
  if (!ok) {
    *error = "cannot copy " + source + " to " + folder + ": " + strerror(savedErrno);
    unlink(temp.c_str());
    return "";
  }
  return temp;
}

enum class Claim { kDone, kTaken, kOtherFs, kFailed };

// Gives `from` the name `to` unless `to` exists; `from` may be on another
// file system only when it is ours to link (a copy beside `to`).
Claim ClaimName(const std::string& from, const std::string& to, bool viaLink) {
  if (!viaLink) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
      return Claim::kDone;
    }
    if (errno != EINVAL && errno != ENOSYS) {
      return errno == EEXIST ? Claim::kTaken : errno == EXDEV ? Claim::kOtherFs : Claim::kFailed;
    }
  }
  // No exclusive rename here: an exclusive link, then the old name goes.
  if (link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return Claim::kDone;
  }
  if (errno == EEXIST) return Claim::kTaken;
  return errno == EXDEV ? Claim::kOtherFs : Claim::kFailed;
}

}  // namespace

bool MakeDirectories(const std::string& dir, std::string* error) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    *error = "cannot use " + dir + " as a folder: it is a file";
    return false;
  }
  const std::string parent = Parent(dir);
  if (parent != dir && !MakeDirectories(parent, error)) return false;
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "cannot create folder " + dir + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool PlaceDurably(const std::string& source, const std::string& dir,
                  const std::function<std::string(int n)>& nameAt, int startN,
                  std::string* finalPath, int* usedN, std::string* error) {
  error->clear();
  std::string from = source;  // becomes the copy once the file systems differ
  for (int n = startN; n < kMaxSuffix; ++n) {
    const std::string path = InFolder(dir, nameAt(n));
    if (!MakeDirectories(Parent(path), error)) {
      *error = "cannot move " + source + " to " + path + ": " + *error;
      break;
    }
    const Claim claim = ClaimName(from, path, from != source);
    if (claim == Claim::kTaken) continue;
    if (claim == Claim::kOtherFs && from == source) {
      from = CopyBeside(source, Parent(path), error);
      if (from.empty()) return false;
      --n;  // the same name again, now for the copy
      continue;
    }
    if (claim != Claim::kDone) {
      *error = "cannot move " + source + " to " + path + ": " + strerror(errno);
      break;
    }
    if (from != source) unlink(source.c_str());
    *finalPath = path;
    *usedN = n;
    return MakeDurable(path, error);
  }
  if (error->empty()) *error = "no free name for " + dir + "/" + nameAt(startN);
  if (from != source) unlink(from.c_str());
  return false;
}

}  // namespace tether_host
