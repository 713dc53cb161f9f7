// File handles over a descriptor: background reads that complete on the main
// run loop, and whole-unit gathered writes.
#ifndef ZY_PLATFORM_FILE_HANDLE_H_
#define ZY_PLATFORM_FILE_HANDLE_H_

#include <sys/uio.h>

#include <cstddef>
#include <memory>

#include "platform/Mutex.h"

namespace zy {

// Posted, with the handle as object and the bytes read as data (empty at end
// of file or on a read error), once per readInBackgroundAndNotify.
extern const char* const kFileHandleReadCompletionNotification;

class FileHandle {
 public:
  // Does not take ownership of `fd`: the handle never closes it.
  explicit FileHandle(int fd);
  // A read still armed completes silently (nothing is posted).
  ~FileHandle();
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  // The process's handles on what it was given as stdin and stdout (live for
  // the whole process). The first call of each moves its stream off the
  // standard descriptor onto a private close-on-exec one, and leaves
  // /dev/null on descriptor 0 and a copy of stderr on descriptor 1: a library
  // that closes, reads or prints to 0 or 1 no longer touches the stream. Call
  // both before anything else may use those descriptors (first thing in main,
  // before any library starts a thread). Where a descriptor cannot be moved
  // the handle stays on 0 or 1.
  static FileHandle* fileHandleWithStandardInput();
  static FileHandle* fileHandleWithStandardOutput();

  int fileDescriptor() const { return mFd; }

  // Main thread only. Arms one read: once the descriptor has bytes (or is at
  // end of file), reads what is available (at least one byte, or none at end
  // of file) and posts kFileHandleReadCompletionNotification on the main
  // thread. Arming again before the completion queues a further read: each
  // arming gets its own completion, in order. The handle must be the only
  // reader of a blocking descriptor (a read that another reader emptied
  // first would block the loop); on a non-blocking one a read that finds
  // nothing waits for the next bytes instead of reporting end of file.
  void readInBackgroundAndNotify();

  // Any thread. Writes all bytes of `iov` as one unit: concurrent calls on the
  // same handle never interleave, short writes and EINTR are retried until
  // everything is out. Returns false when the descriptor fails (EPIPE, ...).
  bool writeAll(const struct iovec* iov, int count);

 private:
  struct ReadState;
  void watchForRead();  // arms the run-loop watch for the first pending read
  void readNow();       // the watch fired: read, post, go on with the next

  int mFd;
  // Held over one whole writeAll. It orders writes on the descriptor and
  // guards no field, so nothing here is GUARDED_BY it.
  Mutex mWriteMutex;
  // Main thread only; shared with the armed run-loop watch so that a watch
  // firing after the handle is gone finds it marked dead.
  std::shared_ptr<ReadState> mReadState;
};

}  // namespace zy

#endif  // ZY_PLATFORM_FILE_HANDLE_H_
