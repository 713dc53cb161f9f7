// A temporary directory of one task alone: made with mkdtemp (mode 0700)
// under a parent temporary directory, handed to the task as its TMPDIR, and
// removed at the end when nothing is left in it. Sessions never share one,
// so no session can see, move or overwrite another's files.
//
// Thread: not shared; the owner creates, asks and removes.
#ifndef TETHER_HOST_PRIVATE_TEMP_DIR_H_
#define TETHER_HOST_PRIVATE_TEMP_DIR_H_

#include <memory>
#include <string>
#include <vector>

namespace tether_host {

class PrivateTempDir {
 public:
  // A new directory under `parent` (empty: $TMPDIR, else /tmp); null with
  // *error naming the parent and the system's error on failure.
  static std::unique_ptr<PrivateTempDir> create(const std::string& parent, std::string* error);

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
  explicit PrivateTempDir(std::string path) : mPath(std::move(path)) {}
  std::string mPath;
  bool mRemoved = false;
};

}  // namespace tether_host

#endif  // TETHER_HOST_PRIVATE_TEMP_DIR_H_
