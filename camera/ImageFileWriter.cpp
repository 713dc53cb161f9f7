#include "camera/ImageFileWriter.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>

#include "platform/Umask.h"

namespace tether {
namespace {

FileWriterSyscalls gSyscalls;  // test seam; empty in production

ssize_t DoWrite(int fd, const void* buffer, size_t count) {
  return gSyscalls.write ? gSyscalls.write(fd, buffer, count) : ::write(fd, buffer, count);
}
int DoClose(int fd) { return gSyscalls.close ? gSyscalls.close(fd) : ::close(fd); }
int DoRenameAt(int fromDir, const char* from, int toDir, const char* to) {
  return gSyscalls.renameat ? gSyscalls.renameat(fromDir, from, toDir, to)
                            : ::renameat(fromDir, from, toDir, to);
}

std::string Reason(const char* what, int error) {
  return std::string(what) + ": " + strerror(error);
}

// Closes a descriptor when it goes out of scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : mFd(fd) {}
  ~ScopedFd() {
    if (mFd >= 0) ::close(mFd);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return mFd; }

 private:
  int mFd;
};

// `path` split into its folder ("." when it has none) and its last name.
void SplitPath(const std::string& path, std::string* dir, std::string* base) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    *dir = ".";
    *base = path;
    return;
  }
  *dir = slash == 0 ? "/" : path.substr(0, slash);
  *base = path.substr(slash + 1);
}

// A fresh hidden name for `base`: ".<base>.<pid>.<n>.<clock>". The exclusive
// create below, not the name, is what guarantees a new file.
std::string ScratchName(const std::string& base, unsigned attempt) {
  static std::atomic<unsigned long> counter{0};
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return "." + base + "." + std::to_string(getpid()) + "." +
         std::to_string(counter.fetch_add(1)) + "." +
         std::to_string(static_cast<unsigned long>(now.tv_nsec) ^ attempt);
}

// Creates a new scratch file for `base` in the folder `dirFd`, mode 0600; its
// name in `scratch`. Returns the descriptor, or -1 with the reason in `error`.
int CreateScratch(int dirFd, const std::string& base, std::string* scratch,
                  std::string* error) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    *scratch = ScratchName(base, attempt);
    const int fd = ::openat(dirFd, scratch->c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno != EEXIST) {
      *error = Reason("create", errno);
      return -1;
    }
  }
  *error = "create: no free scratch name";
  return -1;
}

// Writes all `size` bytes to `fd`. Returns 0, or the errno of the failure.
int WriteAll(int fd, const void* data, size_t size) {
  const char* next = static_cast<const char*>(data);
  size_t remaining = size;
  while (remaining > 0) {
    const size_t chunk = remaining < static_cast<size_t>(SSIZE_MAX) ? remaining : SSIZE_MAX;
    const ssize_t written = DoWrite(fd, next, chunk);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return EIO;  // no progress: give up, never spin
    next += written;
    remaining -= static_cast<size_t>(written);
  }
  return 0;
}

// Whether `name` in `dirFd` is, without following a link, the file open as `fd`.
bool NameHoldsFile(int dirFd, const char* name, int fd) {
  struct stat atName {}, open {};
  return ::fstatat(dirFd, name, &atName, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(fd, &open) == 0 &&
         atName.st_dev == open.st_dev && atName.st_ino == open.st_ino;
}

}  // namespace

void SetFileWriterSyscallsForTesting(const FileWriterSyscalls& calls) { gSyscalls = calls; }

bool SaveFileReplacing(const std::string& path, const void* data, size_t size,
                       std::string* error) {
  std::string dirName, base;
  SplitPath(path, &dirName, &base);
  // The folder is resolved here, once; a later swap of any of its path's
  // components cannot redirect the steps below.
  const ScopedFd dir(::open(dirName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) {
    *error = Reason("open folder", errno);
    return false;
  }
  std::string scratch;
  const int fd = CreateScratch(dir.get(), base, &scratch, error);
  if (fd < 0) return false;
  // A second descriptor on the same file outlives the close below, so the
  // file's identity can be checked after the rename without reopening a name
  // (and its inode cannot be reused meanwhile).
  const ScopedFd held(::fcntl(fd, F_DUPFD_CLOEXEC, 0));

  // From here on every failure must remove the scratch file.
  auto fail = [&](const char* what, int code, bool fdOpen) {
    // Without the second descriptor (it failed) the file cannot be told from
    // a swapped-in entry; the name was made a moment ago, so it is removed.
    if (held.get() < 0 || NameHoldsFile(dir.get(), scratch.c_str(), held.get())) {
      ::unlinkat(dir.get(), scratch.c_str(), 0);
    }
    if (fdOpen) ::close(fd);
    *error = Reason(what, code);
    return false;
  };

  if (held.get() < 0) return fail("dup", errno, true);
  if (const int code = WriteAll(fd, data, size); code != 0) return fail("write", code, true);
  // Private while incomplete; once whole, the mode of a plain create, so that
  // others the umask admits (say, the group) can read the picture. Should the
  // change fail, the picture is kept private rather than lost.
  (void)::fchmod(fd, 0666 & ~zy::currentUmask());
  // On Linux the descriptor is released even when close reports an error, so
  // it is never closed twice; the error (a late write failure) still fails the save.
  if (DoClose(fd) != 0) return fail("close", errno, false);
  if (DoRenameAt(dir.get(), scratch.c_str(), dir.get(), base.c_str()) != 0) {
    return fail("rename", errno, false);
  }
  // Where others may rename in the folder, the hidden name could have been
  // swapped for their own entry (a link to one of our files, say) before the
  // rename moved it into place: never report that as the picture.
  if (!NameHoldsFile(dir.get(), base.c_str(), held.get())) {
    *error = "rename: the file placed is not the one written";
    return false;
  }
  return true;
}

}  // namespace tether
