// Naming and placing the files a capture delivers. Nothing here replaces
// an existing file, except ReplaceDurably, for the files that are this
// program's own to rewrite: a taken name gets a numbered suffix instead
// (IMG_0001.jpg, IMG_0001-1.jpg, IMG_0001-2.jpg, ...), and names are claimed
// atomically (an exclusive rename, link or O_EXCL create), so two writers
// cannot pick the same one.
//
// A file is worked on through its descriptor and the descriptors of its
// folders from the moment it is opened: its mode and its fsync go to the
// descriptor, names are claimed with renameat2(RENAME_NOREPLACE) or linkat
// relative to an opened folder, and no step resolves a path in the output
// folder again, where another user may have swapped a name for a symbolic
// link. Folders below the output folder come from OutputFolder, which
// refuses symbolic links.
#ifndef TETHER_HOST_OUTPUT_FILES_H_
#define TETHER_HOST_OUTPUT_FILES_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/saving/OutputFolder.h"

namespace tether_host {

// Suffixes stop below this: far more than any real directory holds under
// one stem, a bound only so a pathological directory cannot make us loop
// for ever.
inline constexpr int kMaxSuffix = 100000;

// The stem for a capture's files from the name the camera gave: its last
// path component, with separators and control characters (C0, DEL, and C1
// whether as UTF-8 or as a stray byte) replaced by '_' and its image
// extensions (.dng, .jpg, .jpeg, any case, repeated) or else its one last
// extension stripped. "capture<id>" when nothing usable is left. At most
// NAME_MAX bytes (cut on a UTF-8 boundary); FilenamePattern then fits whole
// names to the file system.
std::string CaptureBaseName(const std::string& fileName, int captureId);

// The lower-case extension, dot included, of the file at `path` (".dng" for
// "/tmp/TetherTMP3.DNG"); ".jpeg" becomes ".jpg"; empty when there is none.
std::string ExtensionForFile(const std::string& path);

// dir/base + ext for n = 0, dir/base-n + ext after that.
std::string NumberedPath(const std::string& dir, const std::string& base, int n,
                         const std::string& ext);

// The smallest n at or after `startN` at which none of namesAt(n), relative
// to `folder`, exists, so that the files of one capture can share a stem.
// Only a starting point: the names are still claimed one by one.
int FirstFreeSuffix(OutputFolder& folder, int startN,
                    const std::function<std::vector<std::string>(int n)>& namesAt);

// Writes `size` bytes to a new file at the first free NumberedPath.
bool WriteUniqueFile(const std::string& dir, const std::string& base, const std::string& ext,
                     int startN, const void* bytes, size_t size, std::string* finalPath,
                     std::string* error);

// Creates `dir` and its missing parents (0755 less the umask). False with
// *error naming the directory and the system's error. For folders the user
// names (--out, the task log's); folders below --out come from OutputFolder.
bool MakeDirectories(const std::string& dir, std::string* error);

// Where PlaceDurably or MoveWithin put a file.
struct Placement {
  std::string name;  // relative to the output folder
  std::string path;  // the output folder's path joined with `name`
  int n = 0;         // the suffix used
  int64_t size = -1;
};

enum class Placed { kDone, kTaken, kFailed };

// Moves `source`, a regular file with no other name (a symbolic link is not
// followed, a hard link refused), to
// nameAt(n) in `out` for the first n in [firstN, lastN] whose name is free,
// creating the name's folders, and makes it durable. The file gets the
// permissions of any file the user makes and is fsync'ed through its
// descriptor before it takes a name: on one file system by an exclusive
// rename; across file systems as an unnamed copy in the destination folder
// (O_TMPFILE; a hidden file where that is missing) that is linked
// exclusively. The folder is fsync'ed before this returns kDone. kTaken when
// every name in the range exists; kFailed with *error naming the files and
// the system's error. Unless kDone the source stays where it was.
Placed PlaceDurably(const std::string& source, OutputFolder& out,
                    const std::function<std::string(int n)>& nameAt, int firstN, int lastN,
                    Placement* placed, std::string* error);

// Renames `from` to `to`, both relative to `out`, without replacing
// anything, and fsyncs both folders. kTaken when `to` exists.
Placed MoveWithin(OutputFolder& out, const std::string& from, const std::string& to,
                  std::string* error);

// Replaces the file at `name` (relative to `out`, in a folder that exists)
// with one holding `bytes`: readers see the old file or the new one, whole,
// and once this returns the new one survives a crash under that name. A
// hidden file in the same folder is written and fsync'ed, renamed over the
// name and the folder fsync'ed. A symbolic link at the name is replaced,
// never followed; one on the way to it is refused. False with *error naming
// the file and the reason. For files that are ours to rewrite (a rating's
// sidecar), never for pictures.
bool ReplaceDurably(OutputFolder& out, const std::string& name, const std::string& bytes,
                    std::string* error);

}  // namespace tether_host

#endif  // TETHER_HOST_OUTPUT_FILES_H_
