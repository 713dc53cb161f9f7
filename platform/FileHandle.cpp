#include "platform/FileHandle.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace zy {

const char* const kFileHandleReadCompletionNotification = "NSFileHandleReadCompletionNotification";

struct FileHandle::ReadState {
  bool alive = true;   // cleared by the handle's destructor
  int armed = 0;       // readings asked for and not yet completed
  bool watching = false;  // a run-loop watch is armed for the first of them
};

FileHandle::FileHandle(int fd) : mFd(fd), mReadState(std::make_shared<ReadState>()) {}

FileHandle::~FileHandle() { mReadState->alive = false; }

FileHandle* FileHandle::fileHandleWithStandardInput() {
  static FileHandle* handle = new FileHandle(STDIN_FILENO);  // lives until the process ends
  return handle;
}

FileHandle* FileHandle::fileHandleWithStandardOutput() {
  static FileHandle* handle = new FileHandle(STDOUT_FILENO);  // lives until the process ends
  return handle;
}

bool FileHandle::writeAll(const struct iovec* iov, int count) {
  // A private copy that we advance past what the kernel has taken.
  std::vector<struct iovec> pending;
  pending.reserve(count > 0 ? static_cast<size_t>(count) : 0);
  for (int i = 0; i < count; ++i) {
    if (iov[i].iov_len > 0) pending.push_back(iov[i]);
  }
  std::lock_guard<std::mutex> lock(mWriteMutex);
  size_t next = 0;  // first entry not yet fully written
  while (next < pending.size()) {
    int batch = static_cast<int>(std::min<size_t>(pending.size() - next, IOV_MAX));
    ssize_t written = ::writev(mFd, &pending[next], batch);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // A non-blocking descriptor that is full: sleep until it drains.
        struct pollfd p = {mFd, POLLOUT, 0};
        if (::poll(&p, 1, -1) < 0 && errno != EINTR) return false;
        continue;
      }
      return false;  // EPIPE (SIGPIPE is ignored by the process), EBADF, EIO, ...
    }
    if (written == 0) return false;  // cannot happen for a non-empty write; never spin
    size_t left = static_cast<size_t>(written);
    while (next < pending.size() && left >= pending[next].iov_len) {
      left -= pending[next].iov_len;
      ++next;
    }
    if (left > 0) {
      pending[next].iov_base = static_cast<char*>(pending[next].iov_base) + left;
      pending[next].iov_len -= left;
    }
  }
  return true;
}

}  // namespace zy
