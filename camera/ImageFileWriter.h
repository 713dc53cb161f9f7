// Saves a captured image whole or not at all. The bytes go to a new,
// exclusively created hidden file beside the target (mode 0600, never through
// a symbolic link). Once every byte is written, it gets the mode of a plain
// create (0666 less the process's umask) and, closed, is renamed over the
// target. A link planted at the target is replaced, not followed; any failure
// removes the partial file and leaves the target as it was. Safe from any thread (each call has its own file).
#ifndef TETHER_IMAGE_FILE_WRITER_H_
#define TETHER_IMAGE_FILE_WRITER_H_

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace tether {

// Writes `size` bytes at `data` (borrowed for the call, not copied) to `path`.
// Returns true on success; otherwise false with a one-line reason in `error`.
bool SaveFileReplacing(const std::string& path, const void* data, size_t size,
                       std::string* error);

// Test seam: the system calls the writer makes after creating its file.
// Fields left null use the real calls. Not for concurrent use with saves.
struct FileWriterSyscalls {
  ssize_t (*write)(int fd, const void* buffer, size_t count) = nullptr;
  int (*close)(int fd) = nullptr;
  int (*rename)(const char* from, const char* to) = nullptr;
};
// Installs `calls` (copied) until the next call; pass {} to restore.
void SetFileWriterSyscallsForTesting(const FileWriterSyscalls& calls);

}  // namespace tether

#endif  // TETHER_IMAGE_FILE_WRITER_H_
