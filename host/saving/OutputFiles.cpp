#include "host/saving/OutputFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <random>

#include "platform/Umask.h"

namespace tether_host {

namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && Lower(s.substr(s.size() - suffix.size())) == suffix;
}

// Length of the valid UTF-8 sequence starting at s[i], or 0.
size_t Utf8Length(const std::string& s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  size_t n = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
         : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  }
  // No overlong forms, surrogates or code points past U+10FFFF.
  if ((c == 0xE0 && b(i + 1) < 0xA0) || (c == 0xED && b(i + 1) > 0x9F) ||
      (c == 0xF0 && b(i + 1) < 0x90) || (c == 0xF4 && b(i + 1) > 0x8F)) {
    return 0;
  }
  return n;
}

// Control characters, '/' and '\' become '_': C0, DEL, C1 as UTF-8 (C2 80 to
// C2 9F) and the C1 bytes 0x80 to 0x9F where they are not part of UTF-8
// (a terminal reading Latin-1 or bare 8-bit controls obeys them). Other
// bytes, valid UTF-8 or not, are legal in a file name and kept.
std::string WithoutControls(const std::string& name) {
  std::string out;
  for (size_t i = 0; i < name.size();) {
    const auto c = static_cast<unsigned char>(name[i]);
    const size_t n = Utf8Length(name, i);
    if (n == 2 && c == 0xC2 && static_cast<unsigned char>(name[i + 1]) <= 0x9F) {
      out += '_';
      i += 2;
    } else if (n > 1) {
      out.append(name, i, n);
      i += n;
    } else {
      out += c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == '\\' ? '_' : name[i];
      ++i;
    }
  }
  return out;
}

bool WriteAllFd(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

mode_t UserFileMode() {
  static const mode_t mode = static_cast<mode_t>(0644 & ~zy::currentUmask());
  return mode;
}

std::string SystemError() { return strerror(errno); }

// A new file in `dirFd` under a hidden name of its own, open for writing and
// created with `mode` (less the umask); *name is that name. Invalid when
// the system refuses, or after 100 names that were all taken.
ScopedFd CreateHiddenFile(int dirFd, mode_t mode, std::string* name) {
  std::mt19937_64 random(std::random_device{}());
  for (int tries = 0; tries < 100; ++tries) {
    char hidden[40];
    snprintf(hidden, sizeof hidden, ".tether-partial-%012llx",
             static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
    ScopedFd fd(openat(dirFd, hidden, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd.valid()) {
      *name = hidden;
      return fd;
    }
    if (errno != EEXIST) break;
  }
  return ScopedFd();
}

}  // namespace

std::string CaptureBaseName(const std::string& fileName, int captureId) {
  const size_t slash = fileName.find_last_of('/');
  std::string name = WithoutControls(fileName.substr(slash == std::string::npos ? 0 : slash + 1));
  bool stripped = false;
  for (bool again = true; again;) {
    again = false;
    for (const char* ext : {".dng", ".jpg", ".jpeg"}) {
      if (EndsWithNoCase(name, ext)) {
        name.resize(name.size() - strlen(ext));
        stripped = again = true;
      }
    }
  }
  if (!stripped) {
    const size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
  }
  if (name.empty() || name == "." || name == ".." || name[0] == '.') {
    return "capture" + std::to_string(captureId);
  }
  // No name part can be longer; FilenamePattern cuts it to what fits.
  if (name.size() > NAME_MAX) {
    size_t keep = NAME_MAX;
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    name.resize(keep);
  }
  return name;
}

std::string ExtensionForFile(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = Lower(path.substr(dot));
  return ext == ".jpeg" ? ".jpg" : ext;
}

std::string NumberedPath(const std::string& dir, const std::string& base, int n,
                         const std::string& ext) {
  std::string path = dir.empty() ? "." : dir;
  if (path.back() != '/') path += '/';
  path += base;
  if (n > 0) path += "-" + std::to_string(n);
  return path + ext;
}

int FirstFreeSuffix(OutputFolder& folder, int startN,
                    const std::function<std::vector<std::string>(int n)>& namesAt) {
  for (int n = startN; n < kMaxSuffix; ++n) {
    const std::vector<std::string> names = namesAt(n);
    if (std::none_of(names.begin(), names.end(),
                     [&](const std::string& name) { return folder.holds(name); })) {
      return n;
    }
  }
  return kMaxSuffix;
}

bool WriteUniqueFile(const std::string& dir, const std::string& base, const std::string& ext,
                     int startN, const void* bytes, size_t size, std::string* finalPath,
                     std::string* error) {
  const std::string folder = dir.empty() ? "." : dir;
  const ScopedFd dirFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd.valid()) {
    *error = "cannot open folder " + folder + ": " + SystemError();
    return false;
  }
  for (int n = startN; n < kMaxSuffix; ++n) {
    const std::string path = NumberedPath(dir, base, n, ext);
    const std::string leaf = path.substr(path.find_last_of('/') + 1);
    ScopedFd fd(openat(dirFd.get(), leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0644));
    if (!fd.valid() && errno == EEXIST) continue;
    if (!fd.valid()) {
      *error = "cannot create " + path + ": " + SystemError();
      return false;
    }
    const bool written = WriteAllFd(fd.get(), static_cast<const char*>(bytes), size);
    const int savedErrno = errno;
    if (close(fd.release()) != 0 || !written) {
      *error = "cannot write " + path + ": " + strerror(written ? errno : savedErrno);
      unlinkat(dirFd.get(), leaf.c_str(), 0);
      return false;
    }
    *finalPath = path;
    return true;
  }
  *error = "no free name for " + NumberedPath(dir, base, startN, ext);
  return false;
}

bool MakeDirectories(const std::string& dir, std::string* error) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    *error = "cannot use " + dir + " as a folder: it is a file";
    return false;
  }
  const size_t slash = dir.find_last_of('/');
  const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
  if (parent != dir && !MakeDirectories(parent, error)) return false;
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "cannot create folder " + dir + ": " + strerror(errno);
    return false;
  }
  return true;
}

}  // namespace tether_host

namespace tether_host {

namespace {

// The file to place, opened once: its folder (the session's private
// temporary folder) and the file itself, a regular file reached without
// following a symbolic link.
struct Source {
  ScopedFd dir;
  std::string leaf;
  ScopedFd file;
  struct stat st;
};

bool OpenSource(const std::string& path, Source* s, std::string* error) {
  std::string folder;
  SplitName(path, &folder, &s->leaf);
  s->dir.reset(open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (s->dir.valid()) {
    // O_NONBLOCK: a FIFO put there must not hang the session.
    s->file.reset(openat(s->dir.get(), s->leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  }
  if (!s->file.valid() || fstat(s->file.get(), &s->st) != 0) {
    *error = errno == ELOOP ? "it is a symbolic link" : SystemError();
    return false;
  }
  if (!S_ISREG(s->st.st_mode)) {
    *error = "it is not a regular file";
    return false;
  }
  // Its mode is about to change: a second name could be any file of ours.
  if (s->st.st_nlink != 1) {
    *error = "it has other names (hard links)";
    return false;
  }
  return true;
}

// 0 when `from` in `fromDir` took the name `to` in `toDir`, else the errno
// (EEXIST: taken). Where the file system has no exclusive rename, an
// exclusive link and then the old name goes (used only on names in the
// private temporary folder or ones just claimed).
int RenameNoReplace(int fromDir, const std::string& from, int toDir, const std::string& to) {
  if (renameat2(fromDir, from.c_str(), toDir, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (linkat(fromDir, from.c_str(), toDir, to.c_str(), 0) != 0) return errno;
  unlinkat(fromDir, from.c_str(), 0);
  return 0;
}

// A copy of the source in the destination folder, with no name yet
// (O_TMPFILE), or under a hidden name where the file system cannot do that.
class Copy {
 public:
  ~Copy() { discard(); }
  bool valid() const { return mFd.valid(); }
  const std::string& folder() const { return mFolder; }

  // Copies all of `in` into `dirFd`, gives it the user's file mode, fsyncs.
  bool make(int in, int dirFd, const std::string& folder, std::string* error) {
    discard();
    mDir.reset(dup(dirFd));
    mFolder = folder;
    if (access("/proc/self/fd", X_OK) == 0) {
      mFd.reset(openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    }
    if (!mFd.valid()) mFd = CreateHiddenFile(dirFd, 0600, &mHidden);
    bool ok = mFd.valid() && mDir.valid();
    std::vector<char> buf(256 * 1024);
    for (off_t at = 0; ok;) {
      const ssize_t r = pread(in, buf.data(), buf.size(), at);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        ok = r == 0;
        break;
      }
      ok = WriteAllFd(mFd.get(), buf.data(), static_cast<size_t>(r));
      at += r;
    }
    ok = ok && fchmod(mFd.get(), UserFileMode()) == 0 && fsync(mFd.get()) == 0;
    if (!ok) {
      *error = SystemError();
      discard();
    }
    return ok;
  }

  // 0 when the copy took the name `leaf` in `dirFd`, else the errno.
  int link(int dirFd, const std::string& leaf) const {
    if (mHidden.empty()) {
      char self[64];
      snprintf(self, sizeof self, "/proc/self/fd/%d", mFd.get());
      return linkat(AT_FDCWD, self, dirFd, leaf.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
    }
    if (linkat(mDir.get(), mHidden.c_str(), dirFd, leaf.c_str(), 0) != 0) return errno;
    // The hidden name sits in a folder others may write to: make sure what
    // got linked is our copy.
    struct stat ours, linked;
    if (fstat(mFd.get(), &ours) != 0 || fstatat(dirFd, leaf.c_str(), &linked, AT_SYMLINK_NOFOLLOW) != 0 ||
        ours.st_ino != linked.st_ino || ours.st_dev != linked.st_dev) {
      return EBUSY;
    }
    return 0;
  }

  void discard() {
    if (!mHidden.empty() && mDir.valid()) unlinkat(mDir.get(), mHidden.c_str(), 0);
    mHidden.clear();
    mFd.reset();
    mDir.reset();
  }

 private:
  ScopedFd mFd;
  ScopedFd mDir;
  std::string mFolder;
  std::string mHidden;
};

}  // namespace

Placed PlaceDurably(const std::string& source, OutputFolder& out,
                    const std::function<std::string(int n)>& nameAt, int firstN, int lastN,
                    Placement* placed, std::string* error) {
  error->clear();
  std::string why;
  const auto fail = [&](const std::string& name, const std::string& reason) {
    *error = "cannot move " + source + " to " + out.pathOf(name) + ": " + reason;
    return Placed::kFailed;
  };
  Source src;
  if (!OpenSource(source, &src, &why)) return fail(nameAt(firstN), why);
  // Mode and data are settled on the descriptor before the file has any
  // name in the output folder.
  if (fchmod(src.file.get(), UserFileMode()) != 0) return fail(nameAt(firstN), SystemError());
  bool synced = false;
  bool copying = false;
  Copy copy;
  std::string folderName;
  ScopedFd dir;
  for (int n = firstN; n <= lastN && n < kMaxSuffix; ++n) {
    const std::string name = nameAt(n);
    std::string folder, leaf;
    SplitName(name, &folder, &leaf);
    if (!dir.valid() || folder != folderName) {
      dir = out.openFolder(folder, true, &why);
      folderName = folder;
      struct stat ds;
      if (!dir.valid()) return fail(name, why);
      copying = fstat(dir.get(), &ds) != 0 || ds.st_dev != src.st.st_dev;
    }
    int rc = EXDEV;
    if (!copying) {
      if (!synced && fsync(src.file.get()) != 0) return fail(name, SystemError());
      synced = true;
      rc = RenameNoReplace(src.dir.get(), src.leaf, dir.get(), leaf);
      copying = rc == EXDEV;
    }
    if (copying) {
      if ((!copy.valid() || copy.folder() != folder) && !copy.make(src.file.get(), dir.get(), folder, &why)) {
        return fail(name, why);
      }
      rc = copy.link(dir.get(), leaf);
    }
    if (rc == EEXIST) continue;
    if (rc != 0) return fail(name, strerror(rc));
    out.claimed(name);
    if (copying) unlinkat(src.dir.get(), src.leaf.c_str(), 0);
    placed->name = name;
    placed->path = out.pathOf(name);
    placed->n = n;
    placed->size = static_cast<int64_t>(src.st.st_size);
    struct stat now;
    if (fstat(src.file.get(), &now) == 0) placed->size = static_cast<int64_t>(now.st_size);
    if (fsync(dir.get()) != 0) {
      *error = "cannot make " + placed->path + " durable: " + SystemError();
      return Placed::kFailed;
    }
    return Placed::kDone;
  }
  *error = "no free name for " + out.pathOf(nameAt(firstN));
  return Placed::kTaken;
}

Placed MoveWithin(OutputFolder& out, const std::string& from, const std::string& to,
                  std::string* error) {
  std::string fromFolder, fromLeaf, toFolder, toLeaf, why;
  SplitName(from, &fromFolder, &fromLeaf);
  SplitName(to, &toFolder, &toLeaf);
  const ScopedFd fromDir = out.openFolder(fromFolder, false, &why);
  const ScopedFd toDir = fromDir.valid() ? out.openFolder(toFolder, true, &why) : ScopedFd();
  int rc = fromDir.valid() && toDir.valid() ? 0 : -1;
  if (rc == 0 && renameat2(fromDir.get(), fromLeaf.c_str(), toDir.get(), toLeaf.c_str(), RENAME_NOREPLACE) != 0) {
    rc = errno;
    why = SystemError();
  }
  if (rc == EEXIST) return Placed::kTaken;
  if (rc == 0) {
    out.claimed(to);
    if (fsync(toDir.get()) != 0 || fsync(fromDir.get()) != 0) {
      rc = errno;
      why = SystemError();
    }
  }
  if (rc == 0) return Placed::kDone;
  *error = "cannot move " + out.pathOf(from) + " to " + out.pathOf(to) + ": " + why;
  return Placed::kFailed;
}

bool ReplaceDurably(OutputFolder& out, const std::string& name, const std::string& bytes,
                    std::string* error) {
  std::string folder, leaf, hidden, why;
  SplitName(name, &folder, &leaf);
  const auto fail = [&](const std::string& reason) {
    *error = "cannot write " + out.pathOf(name) + ": " + reason;
    return false;
  };
  if (leaf.empty() || leaf == "." || leaf == "..") return fail("not a file name");
  const ScopedFd dir = out.openFolder(folder, false, &why);
  if (!dir.valid()) return fail(why);
  // Created with the mode any file the user makes gets: the kernel applies
  // the umask, so there is no fchmod to make.
  const ScopedFd file = CreateHiddenFile(dir.get(), 0644, &hidden);
  if (!file.valid()) return fail(SystemError());
  // Contents durable before the name moves, so a crash leaves the old file
  // or the new one whole. Replacing what is at the name (a symbolic link
  // included, never followed) is the point.
  if (!WriteAllFd(file.get(), bytes.data(), bytes.size()) || fsync(file.get()) != 0 ||
      renameat(dir.get(), hidden.c_str(), dir.get(), leaf.c_str()) != 0) {
    const std::string reason = SystemError();
    unlinkat(dir.get(), hidden.c_str(), 0);
    return fail(reason);
  }
  // The hidden name sits in a folder others may write to: make sure what
  // took the name is our file.
  struct stat ours, named;
  if (fstat(file.get(), &ours) != 0 || fstatat(dir.get(), leaf.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      ours.st_ino != named.st_ino || ours.st_dev != named.st_dev) {
    return fail("its hidden file was replaced while it was written");
  }
  if (fsync(dir.get()) != 0) return fail("the new name may not survive a crash: " + SystemError());
  return true;
}

}  // namespace tether_host
