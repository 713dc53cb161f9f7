// A temporary directory of one task alone: made with mkdtemp (mode 0700)
// under a parent temporary directory, handed to the task as its TMPDIR, and
// removed at the end when nothing is left in it. Sessions never share one,
// so no session can see, move or overwrite another's files.
//
// While its owner lives, the directory is held with flock(), which the
// kernel lets go of however the process ends; a folder of ours without
// that lock was left by a session that was killed (SIGKILL, power loss),
// and findAbandoned() and adopt() find it again.
//
// Thread: not shared; the owner creates, asks and removes.
#ifndef TETHER_HOST_PRIVATE_TEMP_DIR_H_
#define TETHER_HOST_PRIVATE_TEMP_DIR_H_

#include <memory>
#include <string>
#include <vector>

namespace tether_host {

// A session folder nobody holds any more, and the entries left in it.
struct AbandonedTempDir {
  std::string path;
  std::vector<std::string> names;  // sorted
};

class PrivateTempDir {
 public:
  // A new directory under `parent` (empty: $TMPDIR, else /tmp); null with
  // *error naming the parent and the system's error on failure.
  static std::unique_ptr<PrivateTempDir> create(const std::string& parent, std::string* error);

  // The "tether-session-*" folders under `parent` (empty: as for create())
  // that are ours (owner, mode 0700, a real folder, not a symlink) and not
  // held by a live session, with their entries; empty folders too.
  static std::vector<AbandonedTempDir> findAbandoned(const std::string& parent);
  // Takes over an abandoned folder found above, holding it as its owner
  // did; null with *error when it is not one (any more).
  static std::unique_ptr<PrivateTempDir> adopt(const std::string& path, std::string* error);

  // Removes the directory when it is empty; otherwise leaves it as it is.
  ~PrivateTempDir();
  PrivateTempDir(const PrivateTempDir&) = delete;
  PrivateTempDir& operator=(const PrivateTempDir&) = delete;

  const std::string& path() const { return mPath; }
  // True when `file` names an entry directly inside this directory.
  bool holds(const std::string& file) const;
  // Removes the directory if empty and returns nothing; otherwise returns
  // the paths still in it (they stay, with the directory, for the user).
  std::vector<std::string> removeOrList();

 private:
  PrivateTempDir(std::string path, int lockFd) : mPath(std::move(path)), mLockFd(lockFd) {}
  std::string mPath;
  int mLockFd;  // the directory, flock()ed; -1 when it could not be
  bool mRemoved = false;
};

}  // namespace tether_host

#endif  // TETHER_HOST_PRIVATE_TEMP_DIR_H_
