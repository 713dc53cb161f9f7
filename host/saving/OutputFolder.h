// The output folder and the folders below it, reached only through opened
// descriptors. The folder the user named is opened once, following a
// symbolic link there: that path is the user's own choice. Every folder
// below it that a file name pattern enters or creates is opened one
// component at a time with O_NOFOLLOW, so a symbolic link that another user
// who can write to a shared folder plants there is refused, never followed,
// and nothing afterwards resolves a name that someone else can change.
//
// Thread: one thread uses a folder at a time.
#ifndef TETHER_HOST_OUTPUT_FOLDER_H_
#define TETHER_HOST_OUTPUT_FOLDER_H_

#include <functional>
#include <string>

namespace tether_host {

// Owns one descriptor and closes it.
class ScopedFd {
 public:
  explicit ScopedFd(int fd = -1) : mFd(fd) {}
  ~ScopedFd() { reset(); }
  ScopedFd(ScopedFd&& other) noexcept : mFd(other.release()) {}
  ScopedFd& operator=(ScopedFd&& other) noexcept;
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return mFd; }
  bool valid() const { return mFd >= 0; }
  int release();
  void reset(int fd = -1);

 private:
  int mFd;
};

// "name" inside "folder" split at the last '/': folder "" for a bare name.
void SplitName(const std::string& name, std::string* folder, std::string* leaf);

class OutputFolder {
 public:
  // Nothing is opened before the first use.
  explicit OutputFolder(std::string path);

  const std::string& path() const { return mPath; }
  // The folder `relative` ("" for this one, "2026/05" below it) opened as a
  // directory, its missing folders created (0755 less the umask, each new
  // folder's parent fsync'ed so the new entry survives a crash) when
  // `create`. Invalid with *error when a component is a symbolic link
  // ("... is a symbolic link; not saving through it"), is not a folder, or
  // cannot be opened or made.
  ScopedFd openFolder(const std::string& relative, bool create, std::string* error);
  // Something, of any type, is at `name` (folders allowed, no symbolic link
  // followed). A name under a symbolic link counts as free: placing a file
  // there is refused anyway, with the reason.
  bool holds(const std::string& name);
  // path()/name, for messages and reports.
  std::string pathOf(const std::string& name) const;

  // Called with the name (relative to this folder) each time a file has
  // just taken it, before anything else is done to it: the place where a
  // test plays another writer racing this one.
  void setClaimHook(std::function<void(const std::string& name)> hook) { mClaimHook = std::move(hook); }
  void claimed(const std::string& name) const {
    if (mClaimHook) mClaimHook(name);
  }

 private:
  bool openRoot(std::string* error);

  std::string mPath;
  ScopedFd mRoot;
  std::function<void(const std::string&)> mClaimHook;
};

}  // namespace tether_host

#endif  // TETHER_HOST_OUTPUT_FOLDER_H_
