// Helpers shared by the host tests: scratch directories and file contents.
#ifndef TESTS_HOST_HOST_TEST_SUPPORT_H_
#define TESTS_HOST_HOST_TEST_SUPPORT_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "host/client/TaskProcess.h"

namespace tether_host_test {

// A fresh directory, removed with everything in it on destruction.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tether-host-test-XXXXXX").string();
    mPath = mkdtemp(pattern.data()) != nullptr ? pattern : "";
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
  }
  const std::string& path() const { return mPath; }
  std::string sub(const std::string& name) const {
    std::filesystem::create_directories(mPath + "/" + name);
    return mPath + "/" + name;
  }

 private:
  std::string mPath;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Options that run the fake task with `mode`, its files going to `tmpDir`.
inline tether_host::TaskProcess::Options FakeTask(const std::string& mode, const std::string& tmpDir) {
  tether_host::TaskProcess::Options options;
  options.path = FAKE_TASK_PATH;
  options.environment = {"FAKE_TASK_MODE=" + mode, "TMPDIR=" + tmpDir};
  options.graceMs = 2000;
  return options;
}

}  // namespace tether_host_test

#endif  // TESTS_HOST_HOST_TEST_SUPPORT_H_
