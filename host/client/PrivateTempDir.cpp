#include "host/client/PrivateTempDir.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

namespace tether_host {

std::unique_ptr<PrivateTempDir> PrivateTempDir::create(const std::string& parent,
                                                       std::string* error) {
  std::string base = parent;
  if (base.empty()) {
    const char* env = getenv("TMPDIR");
    base = env != nullptr && *env != '\0' ? env : "/tmp";
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  std::string pattern = base + "/tether-session-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {  // mkdtemp makes it 0700
    *error = "cannot create a temporary directory in " + base + ": " + strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<PrivateTempDir>(new PrivateTempDir(pattern));
}

PrivateTempDir::~PrivateTempDir() {
  if (!mRemoved) rmdir(mPath.c_str());
}

bool PrivateTempDir::holds(const std::string& file) const {
  if (file.size() <= mPath.size() + 1 || file.compare(0, mPath.size(), mPath) != 0 ||
      file[mPath.size()] != '/') {
    return false;
  }
  const std::string name = file.substr(mPath.size() + 1);
  return name.find('/') == std::string::npos && name != "." && name != "..";
}

std::vector<std::string> PrivateTempDir::removeOrList() {
  if (mRemoved || rmdir(mPath.c_str()) == 0) {
    mRemoved = true;
    return {};
  }
  std::vector<std::string> left;
  if (DIR* dir = opendir(mPath.c_str())) {
    while (const dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") left.push_back(mPath + "/" + name);
    }
    closedir(dir);
  }
  std::sort(left.begin(), left.end());
  if (left.empty()) left.push_back(mPath);  // not removable for another reason
  return left;
}

}  // namespace tether_host
