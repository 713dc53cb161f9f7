// Live view's cost to the rest of the task, with the simulated camera, each
// figure a ratio against a baseline measured in the same run:
//
//  capture  "doCapture" to the capture's last "fileDownloadComplete" with
//           live view on (the host reading every frame), against the same
//           capture with live view off; captures of both kinds alternate.
//  memory   the task's resident memory after the host has read no frame for
//           a while, against the same just before, in frames of live view.
//  reply    "getCameraSettings" to its "ok" while live view runs and the host
//           reads nothing between requests, against the same without live
//           view. The task waits 100 ms before it dispatches any message;
//           that is in both.
//
//   bench/liveview_bench [--captures N] [--requests N] [--quiet-seconds S]
//
// The environment reaches the simulated camera: KRV_SIM_LIVE_WIDTH=2400
// KRV_SIM_LIVE_HEIGHT=1800 gives frames larger than a pipe holds (64 KiB),
// the case in which the task, not the pipe, holds a stalled host's frames.
// With LD_LIBRARY_PATH=<build>/Frameworks/gphoto2 and
// KRV_GPHOTO_CAMERA=ptpip:ADDR:PORT:EVENTPORT the task drives the libgphoto2
// bridge instead, e.g. with bin/krv-sim-ptpip set to "files raw+jpeg" (a
// capture must deliver two files).
//
// Goals: capture and reply within 1.1, memory growth within 2 frames. The
// figures are printed, never judged: a shared machine is too noisy for that.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/client/HostMessage.h"
#include "host/client/TaskProcess.h"
#include "source/ProtocolNames.h"

namespace {

namespace proto = tether::proto;
using Clock = std::chrono::steady_clock;
using tether_host::HostMessage;
using tether_host::TaskProcess;

constexpr int kWaitMs = 30000;

struct Options {
  int captures = 15;
  int requests = 15;
  int quietSeconds = 10;
};

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "liveview_bench: %s\n", what.c_str());
  std::exit(2);
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The task's resident memory in bytes, from /proc.
long ResidentBytes(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6) * 1024;
  }
  Fail("no VmRSS for the task");
}

// The task with the simulated camera, connected. Camera images of a
// moderate size, so that a capture takes long enough to measure.
class Bench {
 public:
  explicit Bench(const std::string& scratch) {
    TaskProcess::Options options;
    options.path = TETHER_TASK_PATH;
    options.environment = {"TMPDIR=" + scratch, "KRV_SIM_CONNECT_DELAY_MS=0",
                           "KRV_SIM_IMAGE_WIDTH=1600", "KRV_SIM_IMAGE_HEIGHT=1200"};
    options.stderrPath = "/dev/null";
    std::string error;
    mTask = TaskProcess::start(options, &error);
    if (!mTask) Fail(error);
    waitFor(proto::kDeviceAdded);
  }
  ~Bench() {
    mTask->send(proto::kShutdown, nullptr);
    mTask->waitForExit(tether_host::kTaskShutdownWaitMs);
  }

  TaskProcess& task() { return *mTask; }
  long frames() const { return mFrames; }
  long frameBytes() const { return mFrameBytes; }

  // Reads until a message named `name` (with `id` when >= 0), counting the
  // live frames passed over and deleting the files the task reports.
  HostMessage waitFor(const char* name, int id = -1) {
    for (;;) {
      HostMessage m;
      if (mTask->read(&m, kWaitMs) != TaskProcess::ReadStatus::kMessage) {
        Fail(std::string("no ") + name + ": " + mTask->error());
      }
      if (m.name == proto::kLiveViewFrame) {
        ++mFrames;
        if (auto size = m.number(proto::kFrameSize)) mFrameBytes = static_cast<long>(*size);
      }
      if (m.name == proto::kFileDownloadComplete) {
        if (auto path = m.string(proto::kFilePath)) unlink(path->c_str());
      }
      if (m.name == name && (id < 0 || m.id == id)) return m;
    }
  }

  // "doCapture" to the second "fileDownloadComplete" (JPEG and DNG), in ms.
  double captureMs() {
    const auto start = Clock::now();
    mTask->send(proto::kDoCapture, nullptr);
    waitFor(proto::kFileDownloadComplete);
    waitFor(proto::kFileDownloadComplete);
    return Ms(Clock::now() - start);
  }

  double settingsMs() {
    const auto start = Clock::now();
    const int id = mTask->send(proto::kGetCameraSettings, nullptr);
    waitFor(proto::kOk, id);
    return Ms(Clock::now() - start);
  }

  void liveView(bool on) {
    const int id = mTask->send(on ? proto::kStartLiveView : proto::kStopLiveView, nullptr);
    HostMessage reply = waitFor(proto::kOk, id);
    if (reply.number(proto::kLiveView) != (on ? 1.0 : 0.0)) Fail("live view not switched");
    if (on) {
      const long until = mFrames + 3;  // running, not just started
      while (mFrames < until) waitFor(proto::kLiveViewFrame);
    }
  }

 private:
  std::unique_ptr<TaskProcess> mTask;
  long mFrames = 0;
  long mFrameBytes = 0;
};

void CaptureFigure(Bench& bench, const Options& o) {
  bench.captureMs();  // warm-up: first images, first files
  std::vector<double> off, on;
  const long framesBefore = bench.frames();
  for (int i = 0; i < o.captures; ++i) {
    off.push_back(bench.captureMs());
    bench.liveView(true);
    on.push_back(bench.captureMs());
    bench.liveView(false);
  }
  const double base = Median(off), live = Median(on);
  std::printf("capture: doCapture to last fileDownloadComplete, median of %d\n", o.captures);
  std::printf("  without live view %8.1f ms\n  with live view    %8.1f ms  (%ld frames read)\n",
              base, live, bench.frames() - framesBefore);
  std::printf("  ratio %.3f (goal <= 1.1)\n", live / base);
}

void QuietHostFigure(Bench& bench, const Options& o) {
  std::vector<double> off;
  for (int i = 0; i < o.requests; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    off.push_back(bench.settingsMs());
  }

  bench.liveView(true);
  // Settle: the host reads frames for two seconds, so buffers the first
  // frames need are in the baseline; resident memory is sampled meanwhile.
  const pid_t pid = bench.task().pid();
  std::vector<double> reading, quiet;
  auto next = Clock::now();
  const auto settle = Clock::now() + std::chrono::seconds(2);
  while (Clock::now() < settle) {
    bench.waitFor(proto::kLiveViewFrame);
    if (Clock::now() >= next) {
      reading.push_back(static_cast<double>(ResidentBytes(pid)));
      next += std::chrono::milliseconds(100);
    }
  }
  // Quiet: sampled through the second half, once the task has had time to
  // fill what a stalled host makes it hold.
  const auto quietStart = Clock::now();
  const auto quietEnd = quietStart + std::chrono::seconds(o.quietSeconds);
  double peak = 0;
  while (Clock::now() < quietEnd) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double rss = static_cast<double>(ResidentBytes(pid));
    peak = std::max(peak, rss);
    if (Clock::now() - quietStart >= (quietEnd - quietStart) / 2) quiet.push_back(rss);
  }
  const double frame = static_cast<double>(std::max(1L, bench.frameBytes()));
  const double before = Median(reading), after = Median(quiet);

  // The host reads only while it waits for a reply, and nothing in between.
  std::vector<double> on;
  for (int i = 0; i < o.requests; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    on.push_back(bench.settingsMs());
  }
  bench.liveView(false);

  std::printf("memory: %d s of a host reading no frames (a frame is %.0f bytes)\n", o.quietSeconds,
              frame);
  std::printf("  resident, medians: %.0f reading -> %.0f not reading: growth %.2f frames"
              " (goal <= 2); peak %.2f\n",
              before, after, (after - before) / frame, (peak - before) / frame);
  const double base = Median(off), live = Median(on);
  std::printf("reply: getCameraSettings to ok, median of %d\n", o.requests);
  std::printf("  without live view %8.1f ms\n  live view, host not reading %8.1f ms\n", base, live);
  std::printf("  ratio %.3f (goal <= 1.1)\n", live / base);
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (value <= 0) return false;
    if (arg == "--captures") {
      o->captures = value;
    } else if (arg == "--requests") {
      o->requests = value;
    } else if (arg == "--quiet-seconds") {
      o->quietSeconds = value;
    } else {
      return false;
    }
  }
  return argc % 2 == 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr, "usage: %s [--captures N] [--requests N] [--quiet-seconds S]\n", argv[0]);
    return 2;
  }
  char pattern[] = "/tmp/tether-liveview-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 2;
  {
    Bench bench(pattern);
    CaptureFigure(bench, options);
    QuietHostFigure(bench, options);
  }
  const std::string command = std::string("rm -rf '") + pattern + "'";
  return std::system(command.c_str()) == 0 ? 0 : 1;
}
