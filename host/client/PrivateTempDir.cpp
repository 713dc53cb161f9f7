#include "host/client/PrivateTempDir.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace tether_host {

namespace {

constexpr char kPrefix[] = "tether-session-";

std::string ParentOrDefault(const std::string& parent) {
  std::string base = parent;
  if (base.empty()) {
    const char* env = getenv("TMPDIR");
    base = env != nullptr && *env != '\0' ? env : "/tmp";
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base;
}

// The folder at `path`, opened without following a symlink and locked, when
// it is one of ours that nobody holds; else -1 with *error saying why.
int OpenAbandoned(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    *error = path + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  if (st.st_uid != geteuid() || (st.st_mode & 07777) != 0700) {
    *error = path + " is not a session folder of this user";
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = path + " is in use by a running session";
  } else {
    return fd;
  }
  close(fd);
  return -1;
}

std::vector<std::string> EntriesOf(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (const dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::unique_ptr<PrivateTempDir> PrivateTempDir::create(const std::string& parent,
                                                       std::string* error) {
  const std::string base = ParentOrDefault(parent);
  std::string pattern = base + "/" + kPrefix + "XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {  // mkdtemp makes it 0700
    *error = "cannot create a temporary directory in " + base + ": " + strerror(errno);
    return nullptr;
  }
  // Held for as long as this session lives; without the lock the folder
  // would only look abandoned to a later run, which is the safe side.
  int lockFd = open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (lockFd >= 0 && flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
    close(lockFd);
    lockFd = -1;
  }
  return std::unique_ptr<PrivateTempDir>(new PrivateTempDir(pattern, lockFd));
}

std::vector<AbandonedTempDir> PrivateTempDir::findAbandoned(const std::string& parent) {
  const std::string base = ParentOrDefault(parent);
  std::vector<AbandonedTempDir> found;
  for (const std::string& name : EntriesOf(base)) {
    if (name.compare(0, sizeof kPrefix - 1, kPrefix) != 0) continue;
    const std::string path = base + "/" + name;
    std::string ignored;
    const int fd = OpenAbandoned(path, &ignored);
    if (fd < 0) continue;
    found.push_back({path, EntriesOf(path)});
    close(fd);
  }
  return found;
}

std::unique_ptr<PrivateTempDir> PrivateTempDir::adopt(const std::string& path, std::string* error) {
  const int fd = OpenAbandoned(path, error);
  if (fd < 0) return nullptr;
  return std::unique_ptr<PrivateTempDir>(new PrivateTempDir(path, fd));
}

PrivateTempDir::~PrivateTempDir() {
  if (!mRemoved) rmdir(mPath.c_str());
  if (mLockFd >= 0) close(mLockFd);
}

bool PrivateTempDir::holds(const std::string& file) const {
  if (file.size() <= mPath.size() + 1 || file.compare(0, mPath.size(), mPath) != 0 ||
      file[mPath.size()] != '/') {
    return false;
  }
  const std::string name = file.substr(mPath.size() + 1);
  return name.find('/') == std::string::npos && name != "." && name != "..";
}

std::vector<std::string> PrivateTempDir::removeOrList() {
  if (mRemoved || rmdir(mPath.c_str()) == 0) {
    mRemoved = true;
    return {};
  }
  std::vector<std::string> left;
  if (DIR* dir = opendir(mPath.c_str())) {
    while (const dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") left.push_back(mPath + "/" + name);
    }
    closedir(dir);
  }
  std::sort(left.begin(), left.end());
  if (left.empty()) left.push_back(mPath);  // not removable for another reason
  return left;
}

}  // namespace tether_host
