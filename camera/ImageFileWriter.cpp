#include "camera/ImageFileWriter.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>

namespace tether {
namespace {

FileWriterSyscalls gSyscalls;  // test seam; empty in production

ssize_t DoWrite(int fd, const void* buffer, size_t count) {
  return gSyscalls.write ? gSyscalls.write(fd, buffer, count) : ::write(fd, buffer, count);
}
int DoClose(int fd) { return gSyscalls.close ? gSyscalls.close(fd) : ::close(fd); }
int DoRename(const char* from, const char* to) {
  return gSyscalls.rename ? gSyscalls.rename(from, to) : ::rename(from, to);
}

std::string Reason(const char* what, int error) {
  return std::string(what) + ": " + strerror(error);
}

// A fresh hidden name beside `path`: ".<basename>.<pid>.<n>.<clock>". The
// exclusive create below, not the name, is what guarantees a new file.
std::string ScratchName(const std::string& path, unsigned attempt) {
  static std::atomic<unsigned long> counter{0};
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return dir + "." + base + "." + std::to_string(getpid()) + "." +
         std::to_string(counter.fetch_add(1)) + "." +
         std::to_string(static_cast<unsigned long>(now.tv_nsec) ^ attempt);
}

}  // namespace

void SetFileWriterSyscallsForTesting(const FileWriterSyscalls& calls) { gSyscalls = calls; }

bool SaveFileReplacing(const std::string& path, const void* data, size_t size,
                       std::string* error) {
  std::string scratch;
  int fd = -1;
  for (unsigned attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    scratch = ScratchName(path, attempt);
    fd = ::open(scratch.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) {
      *error = Reason("create", errno);
      return false;
    }
  }
  if (fd < 0) {
    *error = "create: no free scratch name";
    return false;
  }

  // From here on every failure must remove the scratch file.
  auto fail = [&](const char* what, int code, bool fdOpen) {
    if (fdOpen) ::close(fd);
    ::unlink(scratch.c_str());
    *error = Reason(what, code);
    return false;
  };

  const char* next = static_cast<const char*>(data);
  size_t remaining = size;
  while (remaining > 0) {
    const size_t chunk = remaining < static_cast<size_t>(SSIZE_MAX) ? remaining : SSIZE_MAX;
    const ssize_t written = DoWrite(fd, next, chunk);
    if (written < 0) {
      if (errno == EINTR) continue;
      return fail("write", errno, true);
    }
    if (written == 0) return fail("write", EIO, true);  // no progress: give up, never spin
    next += written;
    remaining -= static_cast<size_t>(written);
  }
  // On Linux the descriptor is released even when close reports an error, so
  // it is never closed twice; the error (a late write failure) still fails the save.
  if (DoClose(fd) != 0) return fail("close", errno, false);
  if (DoRename(scratch.c_str(), path.c_str()) != 0) return fail("rename", errno, false);
  return true;
}

}  // namespace tether
