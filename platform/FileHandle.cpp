#include "platform/FileHandle.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "platform/Data.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"

namespace zy {

namespace {
// A read takes what the descriptor reports as waiting, up to kMaxRead; when it
// cannot tell (or at end of file) it offers kDefaultRead bytes.
constexpr size_t kDefaultRead = 64 * 1024;
constexpr size_t kMaxRead = 1024 * 1024;
}  // namespace

const char* const kFileHandleReadCompletionNotification = "NSFileHandleReadCompletionNotification";

// Main thread only.
struct FileHandle::ReadState {
  bool alive = true;      // cleared by the handle's destructor
  int armed = 0;          // reads asked for and not yet completed
  bool watching = false;  // a run-loop watch is armed for the first of them
};

FileHandle::FileHandle(int fd) : mFd(fd), mReadState(std::make_shared<ReadState>()) {}

FileHandle::~FileHandle() { mReadState->alive = false; }

namespace {

// Moves the stream on `fd` to a private close-on-exec descriptor and puts a
// copy of `replacement` on `fd`. Returns the private descriptor, or `fd`
// itself when either step fails (the stream then stays where it was).
int MoveAside(int fd, int replacement) {
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return fd;
  if (replacement < 0 || ::dup2(replacement, fd) < 0) {
    ::close(moved);
    return fd;
  }
  return moved;
}

// `path` opened with `flags`, on a descriptor above 2 so that it never lands
// on a standard descriptor that happens to be closed; -1 on failure.
int OpenAboveStandard(const char* path, int flags) {
  const int fd = ::open(path, flags | O_CLOEXEC);
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int above = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  return above;
}

int TakeStandardInput() {
  const int null = OpenAboveStandard("/dev/null", O_RDONLY);
  const int fd = MoveAside(STDIN_FILENO, null);
  if (null >= 0) ::close(null);
  return fd;
}

int TakeStandardOutput() {
  if (::fcntl(STDERR_FILENO, F_GETFD) != -1) return MoveAside(STDOUT_FILENO, STDERR_FILENO);
  const int null = OpenAboveStandard("/dev/null", O_WRONLY);
  const int fd = MoveAside(STDOUT_FILENO, null);
  if (null >= 0) ::close(null);
  return fd;
}

}  // namespace

FileHandle* FileHandle::fileHandleWithStandardInput() {
  static FileHandle* handle = new FileHandle(TakeStandardInput());  // lives until the process ends
  return handle;
}

FileHandle* FileHandle::fileHandleWithStandardOutput() {
  static FileHandle* handle = new FileHandle(TakeStandardOutput());  // lives until the process ends
  return handle;
}

void FileHandle::readInBackgroundAndNotify() {
  ++mReadState->armed;
  if (!mReadState->watching) watchForRead();
}

void FileHandle::watchForRead() {
  mReadState->watching = true;
  std::shared_ptr<ReadState> state = mReadState;
  RunLoop::main().watchReadableOnce(mFd, [this, state] {
    if (state->alive) readNow();
  });
}

void FileHandle::readNow() {
  std::shared_ptr<ReadState> state = mReadState;  // outlives `this` if an observer deletes it
  state->watching = false;
  int waiting = 0;
  size_t size = kDefaultRead;
  if (::ioctl(mFd, FIONREAD, &waiting) == 0 && waiting > 0) {
    size = std::min(static_cast<size_t>(waiting), kMaxRead);
  }
  // Read straight into the vector that the notification's data will own.
  std::vector<uint8_t> bytes(size);
  ssize_t n;
  do {
    n = ::read(mFd, bytes.data(), size);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    watchForRead();  // someone else took the bytes: not the end, keep waiting
    return;
  }
  if (n < 0) n = 0;  // a read error ends the input like end of file
  bytes.resize(static_cast<size_t>(n));
  if (bytes.capacity() - bytes.size() > 4096) bytes.shrink_to_fit();  // a short default-size read
  --state->armed;
  NotificationCenter::defaultCenter().postNotification(
      kFileHandleReadCompletionNotification, this, std::make_shared<Data>(std::move(bytes)));
  // Observers usually arm the next read themselves (and may have deleted the handle).
  if (state->alive && state->armed > 0 && !state->watching) watchForRead();
}

bool FileHandle::writeAll(const struct iovec* iov, int count) {
  // A private copy that we advance past what the kernel has taken.
  std::vector<struct iovec> pending;
  pending.reserve(count > 0 ? static_cast<size_t>(count) : 0);
  for (int i = 0; i < count; ++i) {
    if (iov[i].iov_len > 0) pending.push_back(iov[i]);
  }
  MutexLock lock(&mWriteMutex);
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
