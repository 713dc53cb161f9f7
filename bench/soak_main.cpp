// Soak run of the built tether-task with the simulated camera: many small
// captures requested by the host, settings changes driven through the
// simulator's control socket, settings requests, all in one task process.
// The host checks every frame it receives (whole, expected, in order, files
// of the reported size) and deletes each image once checked. The report
// gives the task's resident memory and open descriptors at start, after a
// warm-up and at the end. Exit status 1 when any check failed; the figures
// themselves never fail the run.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "camera/simulator/control_client.h"
#include "host/client/HostMessage.h"
#include "host/client/TaskProcess.h"

namespace {

using Clock = std::chrono::steady_clock;
using tether_host::HostMessage;
using tether_host::TaskProcess;

struct Options {
  long captures = 10000;
  long changes = 100000;
  long requests = 10000;
  long window = 32;  // captures requested and not yet complete
  std::string task = TETHER_TASK_PATH;
  bool keepScratch = false;
};

void Usage(const char* argv0) {
  std::fprintf(stderr,
               "usage: %s [--captures N] [--changes N] [--requests N] [--window N]\n"
               "          [--task PATH] [--keep-scratch]\n"
               "Defaults: 10000 captures, 100000 settings changes, 10000 settings requests,\n"
               "32 captures in flight.\n",
               argv0);
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto number = [&](long* out) {
      if (i + 1 >= argc) return false;
      char* end = nullptr;
      *out = std::strtol(argv[++i], &end, 10);
      return end != nullptr && *end == '\0' && *out >= 0;
    };
    bool ok = true;
    if (arg == "--captures") {
      ok = number(&options->captures);
    } else if (arg == "--changes") {
      ok = number(&options->changes);
    } else if (arg == "--requests") {
      ok = number(&options->requests);
    } else if (arg == "--window") {
      ok = number(&options->window) && options->window > 0;
    } else if (arg == "--task" && i + 1 < argc) {
      options->task = argv[++i];
    } else if (arg == "--keep-scratch") {
      options->keepScratch = true;
    } else {
      ok = false;
    }
    if (!ok) return false;
  }
  return true;
}

long StatusKb(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  const std::string prefix = std::string(field) + ":";
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) {
      return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    }
  }
  return -1;
}

int FdCount(pid_t pid) {
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (d == nullptr) return -1;
  int count = 0;
  while (dirent* e = readdir(d)) count += e->d_name[0] != '.';
  closedir(d);
  return count;
}

struct Sample {
  long rssKb = -1;
  int fds = -1;
};
Sample Measure(pid_t pid) { return Sample{StatusKb(pid, "VmRSS"), FdCount(pid)}; }

// Checks each frame against what the host asked for and what came before.
class Checker {
 public:
  Checker(std::string imageDir) : mImageDir(std::move(imageDir)) {}

  void expectReply(int32_t id) { mOutstanding.insert(id); }

  void check(const HostMessage& m) {
    ++mFrames;
    if (m.name == "ok") {
      if (mOutstanding.erase(m.id) != 1) fail("ok for id " + std::to_string(m.id) + " not asked for");
      if (!m.number("isoSpeed")) fail("ok without isoSpeed");
      ++mReplies;
    } else if (m.name == "objectWasAdded") {
      const long id = Id(m);
      if (id != mCurrent + 1) fail("capture id " + std::to_string(id) + " after " + std::to_string(mCurrent));
      if (mFilesOfCurrent != 2 && mCurrent > 0) fail("capture " + std::to_string(mCurrent) + " incomplete");
      mCurrent = id;
      mFilesOfCurrent = 0;
    } else if (m.name == "thumbnailWasDownloaded") {
      if (Id(m) != mCurrent) fail("thumbnail of capture " + std::to_string(Id(m)));
      const ZyLuaTEData* data = m.data("thumbnail_data");
      if (data == nullptr || data->mLength < 4 ||
          static_cast<const unsigned char*>(data->mBytes)[0] != 0xFF) {
        fail("thumbnail is not a JPEG");
      }
    } else if (m.name == "fileDownloadComplete") {
      checkFile(m);
    } else if (m.name == "cameraSettingsChanged") {
      if (!m.number("isoSpeed")) fail("settings report without isoSpeed");
      ++mSettingsReports;
    } else {
      fail("unexpected message " + m.name);
    }
  }

  void fail(const std::string& what) {
    if (mFailures++ < 20) std::fprintf(stderr, "check failed: %s\n", what.c_str());
  }

  long completeCaptures() const { return mFilesOfCurrent == 2 ? mCurrent : mCurrent - 1; }
  size_t outstanding() const { return mOutstanding.size(); }
  long frames() const { return mFrames; }
  long replies() const { return mReplies; }
  long settingsReports() const { return mSettingsReports; }
  long failures() const { return mFailures; }
  long long imageBytes() const { return mImageBytes; }

 private:
  static long Id(const HostMessage& m) { return static_cast<long>(m.number("capture_id").value_or(-1)); }

  void checkFile(const HostMessage& m) {
    if (Id(m) != mCurrent) fail("file of capture " + std::to_string(Id(m)));
    // The DNG ends first, then the JPEG.
    const char* extension = mFilesOfCurrent == 0 ? ".DNG" : ".JPG";
    const std::string expected = mImageDir + "/TetherTMP" + std::to_string(mCurrent) + extension;
    const std::string path = m.string("file_path").value_or("");
    if (path != expected) fail("file " + path + ", expected " + expected);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      fail("no regular file at " + path);
    } else if (static_cast<double>(st.st_size) != m.number("file_size").value_or(-1)) {
      fail("size of " + path);
    }
    mImageBytes += st.st_size;
    unlink(path.c_str());  // the host takes the file away, as a real one moves it
    ++mFilesOfCurrent;
  }

  std::string mImageDir;
  std::multiset<int32_t> mOutstanding;
  long mCurrent = 0;
  int mFilesOfCurrent = 2;
  long mFrames = 0, mReplies = 0, mSettingsReports = 0, mFailures = 0;
  long long mImageBytes = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    Usage(argv[0]);
    return 2;
  }
  char pattern[] = "/tmp/tether-soak-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 2;
  }
  const std::string scratch = pattern;
  const std::string imageDir = scratch + "/images";
  const std::string socket = scratch + "/control.sock";
  mkdir(imageDir.c_str(), 0755);

  TaskProcess::Options taskOptions;
  taskOptions.path = options.task;
  taskOptions.environment = {"TMPDIR=" + imageDir, "KRV_SIM_CONTROL=" + socket,
                             "KRV_SIM_IMAGE_WIDTH=16", "KRV_SIM_IMAGE_HEIGHT=16",
                             "KRV_SIM_FILE_FORMAT=0"};
  taskOptions.stderrPath = scratch + "/task.log";
  taskOptions.privateTempDir = false;  // the soak reads and deletes the task's files itself
  std::string error;
  auto task = TaskProcess::start(taskOptions, &error);
  if (!task) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  const pid_t pid = task->pid();
  Checker checker(imageDir);

  // The camera connects first.
  {
    HostMessage m;
    if (task->read(&m, 30000) != TaskProcess::ReadStatus::kMessage || m.name != "deviceAdded") {
      std::fprintf(stderr, "no deviceAdded: %s\n", task->error().c_str());
      return 1;
    }
  }
  const Sample atStart = Measure(pid);
  const auto started = Clock::now();

  // Settings changes from a control client of their own, 100 per command.
  std::atomic<long> changesDone{0};
  std::atomic<bool> changesFinished{false};
  std::thread changer([&] {
    krv_sim::ControlClient client;
    std::string why;
    if (client.connect(socket, &why)) {
      while (changesDone < options.changes) {
        const long n = std::min(100L, options.changes - changesDone);
        if (!krv_sim::ControlClient::isOk(client.command("burst " + std::to_string(n)))) break;
        changesDone += n;
      }
    }
    changesFinished = true;
  });

  long capturesSent = 0, requestsSent = 0;
  const long warmUp = std::max(1L, options.captures / 100);
  Sample afterWarmUp;
  auto lastFrame = Clock::now();
  bool stuck = false;
  while (checker.completeCaptures() < options.captures || checker.outstanding() > 0 ||
         requestsSent < options.requests || !changesFinished) {
    while (capturesSent < options.captures &&
           capturesSent - checker.completeCaptures() < options.window) {
      if (task->send("doCapture", nullptr) < 0) break;
      ++capturesSent;
    }
    // Requests spread over the run, a few outstanding at a time.
    while (requestsSent < options.requests && checker.outstanding() < 8 &&
           requestsSent * std::max(1L, options.captures) <=
               options.requests * std::max(1L, checker.completeCaptures() + 1)) {
      const int32_t id = task->send("getCameraSettings", nullptr);
      if (id < 0) break;
      checker.expectReply(id);
      ++requestsSent;
    }
    HostMessage m;
    const auto status = task->read(&m, 100);
    if (status == TaskProcess::ReadStatus::kMessage) {
      checker.check(m);
      lastFrame = Clock::now();
      if (afterWarmUp.rssKb < 0 && checker.completeCaptures() >= warmUp) afterWarmUp = Measure(pid);
      continue;
    }
    if (status != TaskProcess::ReadStatus::kTimeout) {
      checker.fail("read: " + task->error());
      break;
    }
    if (Clock::now() - lastFrame > std::chrono::seconds(60)) {
      stuck = true;
      checker.fail("no frame for 60 s");
      break;
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  const Sample atEnd = Measure(pid);
  const long peakKb = StatusKb(pid, "VmHWM");

  task->send("shutdown", nullptr);
  for (;;) {
    HostMessage m;
    const auto status = task->read(&m, 30000);
    if (status == TaskProcess::ReadStatus::kMessage) {
      if (m.name != "deviceRemoved") checker.check(m);
      continue;
    }
    if (status != TaskProcess::ReadStatus::kEndOfOutput) checker.fail("at shutdown: " + task->error());
    break;
  }
  if (!task->waitForExit(30000)) task->terminate();
  if (!task->exitStatus().success()) checker.fail("task " + task->exitStatus().describe());
  if (stuck) changer.detach(); else changer.join();

  struct stat logStat {};
  stat((scratch + "/task.log").c_str(), &logStat);
  std::printf("tether soak: %ld captures, %ld settings changes, %ld settings requests\n",
              checker.completeCaptures(), changesDone.load(), checker.replies());
  std::printf("  run time            %.1f s (%.0f captures/s)\n", seconds,
              seconds > 0 ? checker.completeCaptures() / seconds : 0.0);
  std::printf("  frames checked      %ld (settings reports %ld), image bytes %lld, task log %lld bytes\n",
              checker.frames(), checker.settingsReports(), checker.imageBytes(),
              static_cast<long long>(logStat.st_size));
  std::printf("  task VmRSS          start %ld KiB, after %ld captures %ld KiB, end %ld KiB"
              " (growth %+ld KiB from start, %+ld KiB from warm-up); VmHWM %ld KiB\n",
              atStart.rssKb, warmUp, afterWarmUp.rssKb, atEnd.rssKb, atEnd.rssKb - atStart.rssKb,
              afterWarmUp.rssKb >= 0 ? atEnd.rssKb - afterWarmUp.rssKb : 0L, peakKb);
  std::printf("  task open fds       start %d, after warm-up %d, end %d (growth %+d)\n",
              atStart.fds, afterWarmUp.fds, atEnd.fds, atEnd.fds - atStart.fds);
  std::printf("  files left in temp  %zu\n",
              static_cast<size_t>(std::distance(std::filesystem::directory_iterator(imageDir),
                                                std::filesystem::directory_iterator())));
  std::printf("  checks failed       %ld; task %s\n", checker.failures(),
              task->exitStatus().describe().c_str());
  if (!options.keepScratch) {
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
  } else {
    std::printf("  scratch kept at     %s\n", scratch.c_str());
  }
  return checker.failures() == 0 ? 0 : 1;
}
