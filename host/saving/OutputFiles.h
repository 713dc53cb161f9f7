// Naming and placing the files a capture delivers. Nothing here ever
// replaces an existing file: a taken name gets a numbered suffix instead
// (IMG_0001.jpg, IMG_0001-1.jpg, IMG_0001-2.jpg, ...), and names are claimed
// atomically (link() or O_EXCL), so two writers cannot pick the same one.
#ifndef TETHER_HOST_OUTPUT_FILES_H_
#define TETHER_HOST_OUTPUT_FILES_H_

#include <cstddef>
#include <functional>
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

// The smallest n at which none of namesAt(n), relative to `dir`, exists, so
// that the files of one capture can share a stem. Only a starting point: the
// names are still claimed one by one.
int FirstFreeSuffix(const std::string& dir,
                    const std::function<std::vector<std::string>(int n)>& namesAt);

// Writes `size` bytes to a new file at the first free NumberedPath.
bool WriteUniqueFile(const std::string& dir, const std::string& base, const std::string& ext,
                     int startN, const void* bytes, size_t size, std::string* finalPath,
                     std::string* error);

// Creates `dir` and its missing parents (0755 less the umask). False with
// *error naming the directory and the system's error.
bool MakeDirectories(const std::string& dir, std::string* error);

// Moves `source` to dir/nameAt(n) for the first n from `startN` on whose
// name is free, creating the name's folders, and makes it durable: on one
// file system by an exclusive rename; across file systems by a copy into a
// hidden file beside the destination, fsync, and an exclusive link. The
// file then gets the permissions of any file the user makes and is fsync'ed
// with its folder before this returns true. False with *error naming the
// files and the system's error; the source then stays where it was.
bool PlaceDurably(const std::string& source, const std::string& dir,
                  const std::function<std::string(int n)>& nameAt, int startN,
                  std::string* finalPath, int* usedN, std::string* error);

}  // namespace tether_host

#endif  // TETHER_HOST_OUTPUT_FILES_H_
