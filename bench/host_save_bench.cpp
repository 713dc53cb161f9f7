// Time from the task's "fileDownloadComplete" to the file durable in the
// output folder (moved, fsync'ed with its folder), as a tethered session
// does it with the real task and the simulated camera, against a plain
// rename plus fsync of file and folder for a fresh file of the same size in
// the same run and on the same file system. Prints both and their ratio;
// the figures never fail the run.
//   bench/tether_host_save_bench [--pictures N] [--dng-bytes N] [--dir DIR]
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/sample_stats.h"
#include "host/session/TetherSession.h"

namespace {

using tether_bench::Median;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tether_host::FileKind;

// Records each image file's time to durable; wakes the driver per file.
class Timer : public tether_host::TetherObserver {
 public:
  void cameraChanged(const std::string& name) override {
    std::lock_guard<std::mutex> lock(mMutex);
    mCamera = !name.empty();
    mChanged.notify_all();
  }
  void fileSaved(const tether_host::FileSaved& file) override {
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - file.reportedAt).count();
    std::lock_guard<std::mutex> lock(mMutex);
    if (file.kind != FileKind::kThumbnail) {
      mMs.push_back(ms);
      mPaths.push_back(file.path);
    }
    mChanged.notify_all();
  }
  // Waits until a camera is there and `files` image files are saved.
  void waitFor(size_t files) {
    std::unique_lock<std::mutex> lock(mMutex);
    mChanged.wait(lock, [&] { return mCamera && mMs.size() >= files; });
  }
  std::vector<double> ms() const { return mMs; }
  std::vector<std::string> paths() const { return mPaths; }

 private:
  std::mutex mMutex;
  std::condition_variable mChanged;
  bool mCamera = false;
  std::vector<double> mMs;
  std::vector<std::string> mPaths;
};

// rename + fsync(file) + fsync(folder) of a freshly written copy of `path`.
double PlainRenameMs(const std::string& path, const std::string& tmpDir, int i) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string from = tmpDir + "/plain-" + std::to_string(i);
  const fs::path to = fs::path(path).parent_path() / ("plain-" + std::to_string(i));
  const int w = open(from.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (w < 0 || write(w, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return -1;
  close(w);
  const auto start = Clock::now();
  if (rename(from.c_str(), to.c_str()) != 0) return -1;
  const int fd = open(to.c_str(), O_RDONLY | O_CLOEXEC);
  fsync(fd);
  close(fd);
  const int dir = open(to.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  fsync(dir);
  close(dir);
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Mean(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  return v.empty() ? 0 : sum / static_cast<double>(v.size());
}

}  // namespace

int main(int argc, char** argv) {
  int pictures = 50;
  std::string dngBytes = "0";
  std::string parent = fs::temp_directory_path().string();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--pictures") pictures = std::atoi(argv[i + 1]);
    else if (a == "--dng-bytes") dngBytes = argv[i + 1];
    else if (a == "--dir") parent = argv[i + 1];
  }
  std::string root = parent + "/tether-save-bench-XXXXXX";
  if (mkdtemp(root.data()) == nullptr) return 1;
  fs::create_directories(root + "/tmp");

  tether_host::TetherOptions options;
  options.outDir = root + "/out";
  options.count = pictures;
  options.launch.taskPath = TETHER_TASK_PATH;
  options.launch.taskLogPath = root + "/task.log";
  options.launch.environment = {"TMPDIR=" + root + "/tmp", "KRV_SIM_DNG_BYTES=" + dngBytes};
  tether_host::TetherSession session(options);
  Timer timer;
  session.addObserver(&timer);
  std::thread driver([&] {
    // One picture at a time, so each save is timed on its own.
    for (int n = 0; n < pictures; ++n) {
      timer.waitFor(static_cast<size_t>(2 * n));
      session.requestCapture();
    }
  });
  const tether_host::TetherResult result = session.run();
  driver.join();

  const std::vector<std::string> paths = timer.paths();
  std::vector<double> plain;
  for (size_t i = 0; i < paths.size(); ++i) plain.push_back(PlainRenameMs(paths[i], root + "/tmp", static_cast<int>(i)));
  const std::vector<double> saved = timer.ms();
  std::printf("%zu image files (DNG and JPEG of %d pictures, KRV_SIM_DNG_BYTES=%s) in %s\n",
              saved.size(), pictures, dngBytes.c_str(), root.c_str());
  std::printf("  report to durable (tethered session): median %.3f ms, mean %.3f ms\n", Median(saved), Mean(saved));
  std::printf("  plain rename + fsync file and folder: median %.3f ms, mean %.3f ms\n", Median(plain), Mean(plain));
  std::printf("  ratio: median %.2fx, mean %.2fx (goal: within 1.10x)\n",
              Median(saved) / std::max(1e-9, Median(plain)), Mean(saved) / std::max(1e-9, Mean(plain)));
  const bool ok = result.allSaved() && saved.size() == static_cast<size_t>(2 * pictures);
  if (!ok) std::printf("  not every picture was saved: see %s\n", root.c_str());
  else fs::remove_all(root);
  return ok ? 0 : 1;
}
