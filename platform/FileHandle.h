// File handles over a descriptor: background reads that complete on the main
// run loop, and whole-unit gathered writes.
#ifndef ZY_PLATFORM_FILE_HANDLE_H_
#define ZY_PLATFORM_FILE_HANDLE_H_

#include <sys/uio.h>

#include <cstddef>

namespace zy {

// Posted, with the handle as object and the bytes read as data (empty at end
// of file or on a read error), once per readInBackgroundAndNotify.
extern const char* const kFileHandleReadCompletionNotification;

class FileHandle {
 public:
  // Does not take ownership of `fd`: the handle never closes it.
  explicit FileHandle(int fd);

  // The process's handles on fd 0 and fd 1 (live for the whole process).
  static FileHandle* fileHandleWithStandardInput();
  static FileHandle* fileHandleWithStandardOutput();

  int fileDescriptor() const { return mFd; }

  // Main thread only. Arms one read: once the descriptor has bytes (or is at
  // end of file), reads what is available (at least one byte, or none at end
  // of file) and posts kFileHandleReadCompletionNotification on the main
  // thread.
  void readInBackgroundAndNotify();

  // Any thread. Writes all bytes of `iov` as one unit: concurrent calls on the
  // same handle never interleave, short writes and EINTR are retried until
  // everything is out. Returns false when the descriptor fails (EPIPE, ...).
  bool writeAll(const struct iovec* iov, int count);

 private:
  int mFd;
  // ... lock guarding writes, private to FileHandle.cpp
};

}  // namespace zy

#endif  // ZY_PLATFORM_FILE_HANDLE_H_
