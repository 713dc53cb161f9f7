// Naming and placing the files a capture delivers. Nothing here ever
// replaces an existing file: a taken name gets a numbered suffix instead
// (IMG_0001.jpg, IMG_0001-1.jpg, IMG_0001-2.jpg, ...), and names are claimed
// atomically (link() or O_EXCL), so two writers cannot pick the same one.
#ifndef TETHER_HOST_OUTPUT_FILES_H_
#define TETHER_HOST_OUTPUT_FILES_H_

#include <cstddef>
#include <string>
#include <vector>

namespace tether_host {

// The stem for a capture's files from the name the camera gave: its last
// path component, with separators and control characters replaced by '_'
// and its image extensions (.dng, .jpg, .jpeg, any case, repeated) or else
// its one last extension stripped. "capture<id>" when nothing usable is left.
std::string CaptureBaseName(const std::string& fileName, int captureId);

// The lower-case extension, dot included, of the file at `path` (".dng" for
// "/tmp/TetherTMP3.DNG"); ".jpeg" becomes ".jpg"; empty when there is none.
std::string ExtensionForFile(const std::string& path);

// dir/base + ext for n = 0, dir/base-n + ext after that.
std::string NumberedPath(const std::string& dir, const std::string& base, int n,
                         const std::string& ext);

// The smallest n at which no dir/base-n + ext exists for any of `exts`, so
// that the files of one capture can share a stem. Only a starting point: the
// names are still claimed one by one.
int FirstFreeSuffix(const std::string& dir, const std::string& base,
                    const std::vector<std::string>& exts);

// Moves `source` to the first free NumberedPath from n = `startN` on, by
// link() and unlink(); where the two paths are on different filesystems (or
// hard links are not supported) by CopyToUniquePath. False with *error set
// on failure; the source then stays where it was.
bool MoveToUniquePath(const std::string& source, const std::string& dir, const std::string& base,
                      const std::string& ext, int startN, std::string* finalPath,
                      std::string* error);

// The fallback of MoveToUniquePath: creates the destination exclusively,
// copies the bytes, and removes `source` only once the copy is complete.
bool CopyToUniquePath(const std::string& source, const std::string& dir, const std::string& base,
                      const std::string& ext, int startN, std::string* finalPath,
                      std::string* error);

// Writes `size` bytes to a new file at the first free NumberedPath.
bool WriteUniqueFile(const std::string& dir, const std::string& base, const std::string& ext,
                     int startN, const void* bytes, size_t size, std::string* finalPath,
                     std::string* error);

}  // namespace tether_host

#endif  // TETHER_HOST_OUTPUT_FILES_H_
