// A fresh directory per test, removed with everything in it afterwards;
// optionally made the process's TMPDIR (QDir::tempPath follows it) for its
// lifetime. Set TMPDIR only while no other thread runs.
#ifndef TETHER_TESTS_CAMERA_SCRATCH_DIR_H_
#define TETHER_TESTS_CAMERA_SCRATCH_DIR_H_

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

class ScratchDir {
 public:
  explicit ScratchDir(bool asTmpDir = false) : mAsTmpDir(asTmpDir) {
    const char* base = getenv("TMPDIR");
    mOldTmpDir = base ? base : "";
    mHadTmpDir = base != nullptr;
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/camera-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr) mPath = buffer.data();
    if (mAsTmpDir) setenv("TMPDIR", mPath.c_str(), 1);
  }
  ~ScratchDir() {
    if (mAsTmpDir) {
      if (mHadTmpDir) {
        setenv("TMPDIR", mOldTmpDir.c_str(), 1);
      } else {
        unsetenv("TMPDIR");
      }
    }
    if (!mPath.empty()) removeTree(mPath);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return mPath; }
  std::string file(const std::string& name) const { return mPath + "/" + name; }

  // Names in the directory, hidden ones included, sorted.
  std::vector<std::string> entries() const { return entries(mPath); }

  static std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  static std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }

 private:
  static void removeTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
      chmod(path.c_str(), 0700);
      for (const auto& name : entries(path)) removeTree(path + "/" + name);
      rmdir(path.c_str());
    } else {
      unlink(path.c_str());
    }
  }

  bool mAsTmpDir;
  bool mHadTmpDir = false;
  std::string mOldTmpDir;
  std::string mPath;
};

#endif  // TETHER_TESTS_CAMERA_SCRATCH_DIR_H_
