#include "host/saving/OutputFolder.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tether_host {

ScopedFd& ScopedFd::operator=(ScopedFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int ScopedFd::release() {
  const int fd = mFd;
  mFd = -1;
  return fd;
}

void ScopedFd::reset(int fd) {
  if (mFd >= 0) close(mFd);
  mFd = fd;
}

void SplitName(const std::string& name, std::string* folder, std::string* leaf) {
  const size_t slash = name.find_last_of('/');
  *folder = slash == std::string::npos ? "" : slash == 0 ? "/" : name.substr(0, slash);
  *leaf = slash == std::string::npos ? name : name.substr(slash + 1);
}

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Why `name` in `dirFd` could not be opened as a folder, for a message.
std::string WhyNotAFolder(int dirFd, const char* name, int openErrno) {
  struct stat st;
  if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(st.st_mode)) return "is a symbolic link; not saving through it";
    if (!S_ISDIR(st.st_mode)) return "is not a folder";
  }
  return std::string("cannot be opened: ") + strerror(openErrno);
}

}  // namespace

OutputFolder::OutputFolder(std::string path) : mPath(path.empty() ? "." : std::move(path)) {}

bool OutputFolder::openRoot(std::string* error) {
  if (mRoot.valid()) return true;
  mRoot.reset(open(mPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!mRoot.valid()) *error = "cannot open folder " + mPath + ": " + strerror(errno);
  return mRoot.valid();
}

ScopedFd OutputFolder::openFolder(const std::string& relative, bool create, std::string* error) {
  if (!openRoot(error)) return ScopedFd();
  ScopedFd current(dup(mRoot.get()));
  if (!current.valid()) {
    *error = "cannot open folder " + mPath + ": " + strerror(errno);
    return current;
  }
  size_t start = 0;
  while (start < relative.size()) {
    size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    const std::string part = relative.substr(start, slash - start);
    const std::string shown = pathOf(relative.substr(0, slash));
    start = slash + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      *error = shown + " leaves the output folder";
      return ScopedFd();
    }
    int fd = openat(current.get(), part.c_str(), kFolderFlags);
    if (fd < 0 && errno == ENOENT && create) {
      if (mkdirat(current.get(), part.c_str(), 0755) == 0) {
        // The new folder's name must survive a crash as well as the file in it.
        if (fsync(current.get()) != 0) {
          *error = "cannot make folder " + shown + " durable: " + strerror(errno);
          return ScopedFd();
        }
      } else if (errno != EEXIST) {
        *error = "cannot create folder " + shown + ": " + strerror(errno);
        return ScopedFd();
      }
      fd = openat(current.get(), part.c_str(), kFolderFlags);
    }
    if (fd < 0) {
      *error = shown + " " + WhyNotAFolder(current.get(), part.c_str(), errno);
      return ScopedFd();
    }
    current.reset(fd);
  }
  return current;
}

bool OutputFolder::holds(const std::string& name) {
  std::string folder, leaf, ignored;
  SplitName(name, &folder, &leaf);
  const ScopedFd dir = openFolder(folder, false, &ignored);
  struct stat st;
  return dir.valid() && fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string OutputFolder::pathOf(const std::string& name) const {
  if (name.empty()) return mPath;
  return mPath + (mPath.back() == '/' ? "" : "/") + name;
}

}  // namespace tether_host
