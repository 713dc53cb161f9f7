// Saves a captured image whole or not at all. The target's folder is opened
// once; every later step works on that folder's descriptor or on the file's
// own, so no step re-resolves a path that another user could change meanwhile.
// The bytes go to a new, exclusively created hidden file in that folder (mode
// 0600, never through a symbolic link). Once every byte is written, it gets
// the mode of a plain create (0666 less the process's umask) through its
// descriptor and, closed, is renamed over the target. A link planted at the
// target is replaced, not followed. The save succeeds only if the name then
// holds the very file written (not something swapped in for the hidden name
// meanwhile); any other failure removes the partial file and leaves the target
// as it was. Safe from any thread (each call has its own file).
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
  int (*renameat)(int fromDir, const char* from, int toDir, const char* to) = nullptr;
};
// Installs `calls` (copied) until the next call; pass {} to restore.
void SetFileWriterSyscallsForTesting(const FileWriterSyscalls& calls);

}  // namespace tether

#endif  // TETHER_IMAGE_FILE_WRITER_H_
