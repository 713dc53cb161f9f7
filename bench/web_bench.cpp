// web_bench: a tethered session (the real task, the simulated camera) with
// the live page, measured as a browser would see it.
//
//  1. For each DNG and JPEG: from the moment the session read the task's
//     "fileDownloadComplete" to the moment the page's "file" event arrived
//     on a connected client's socket; split into the durable save (the
//     session's part, up to its fileSaved report) and the page's part.
//  2. A burst of 20 captures on the camera, from the first shutter to the
//     last file saved: with one page connected that never reads, beside the
//     same burst with no page at all, alternating (and in alternating
//     order), in the same session.
//
// Prints medians and the burst ratio; passes or fails on nothing.
//   [TMPDIR=DIR] build/bench/web_bench [captures, default 50] [burst rounds, default 5]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/sample_stats.h"
#include "camera/simulator/control_client.h"
#include "host/session/TetherSession.h"
#include "host/web/LiveObserver.h"
#include "host/web/LiveServer.h"
#include "tests/host/web/http_probe.h"

namespace {

using tether_bench::Median;
using tether_bench::Percentile;

using Clock = std::chrono::steady_clock;
using tether_host::FileKind;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Records, per (capture id, kind), when the task's report was read and when
// the file was saved; counts saved JPEGs for the bursts.
class Recorder : public tether_host::TetherObserver {
 public:
  struct Times {
    Clock::time_point reported, saved;
  };
  void fileSaved(const tether_host::FileSaved& f) override {
    std::lock_guard<std::mutex> lock(mMutex);
    mTimes[{f.captureId, f.kind}] = {f.reportedAt, Clock::now()};
    if (f.kind == FileKind::kJpeg) ++mJpegs;
    mChanged.notify_all();
  }
  bool waitForJpegs(int n) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mChanged.wait_for(lock, std::chrono::seconds(60), [&] { return mJpegs >= n; });
  }
  Times times(int id, FileKind kind) {
    std::lock_guard<std::mutex> lock(mMutex);
    return mTimes[{id, kind}];
  }

 private:
  std::mutex mMutex;
  std::condition_variable mChanged;
  std::map<std::pair<int, FileKind>, Times> mTimes;
  int mJpegs = 0;
};

int IntAfter(const std::string& event, const std::string& key) {
  const size_t at = event.find("\"" + key + "\":");
  return at == std::string::npos ? -1 : std::atoi(event.c_str() + at + key.size() + 3);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tether_host;
  const int captures = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  // Under $TMPDIR, as the session's private folder is: TMPDIR=/dev/shm
  // takes the disk's fsync times (and their noise) out of the figures.
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/web-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("web_bench: mkdtemp");
    return 1;
  }
  const std::string dir = pattern;
  const std::string socketPath = dir + "/krv.sock";

  TetherOptions options;
  options.outDir = dir + "/out";
  options.launch.taskPath = TETHER_TASK_PATH;
  options.launch.taskLogPath = dir + "/task.log";
  options.launch.environment = {"KRV_SIM_CONTROL=" + socketPath};
  EventHub hub(256, 32);
  PictureIndex pictures;
  LiveObserver live(&hub, &pictures);
  Recorder recorder;
  TetherSession session(options);
  session.addObserver(&recorder);  // first: its clock reads the save before the page hears of it
  session.addObserver(&live);
  LiveServer server(LiveServer::Options(), &hub, &pictures, nullptr);
  std::string error;
  if (!server.start(&error)) {
    std::fprintf(stderr, "web_bench: %s\n", error.c_str());
    return 1;
  }
  std::thread runner([&session] { session.run(); });
  tether_web_test::PageUrl url;
  url.parse(server.pageUrl());

  krv_sim::ControlClient control;
  const auto shutter = [&control, &socketPath] {
    std::string ignored;
    for (int i = 0; i < 300; ++i) {  // the camera connects shortly after the task starts
      if (control.connected() || control.connect(socketPath, &ignored)) {
        if (krv_sim::ControlClient::isOk(control.command("capture"))) return true;
      }
      usleep(100 * 1000);
    }
    return false;
  };

  // 1. Report to wire, one capture at a time, with one page reading.
  std::mutex arrivalsMutex;
  std::map<std::pair<int, std::string>, Clock::time_point> arrivals;
  {
    tether_web_test::EventStream page(url.port, url.authorization());
    std::thread reader([&] {
      int jpegs = 0;
      while (jpegs < captures) {
        const std::optional<std::string> event = page.next(60000);
        const Clock::time_point now = Clock::now();
        if (!event) return;
        if (event->find("\"type\":\"file\"") == std::string::npos) continue;
        const std::string kind = event->find("\"kind\":\"jpeg\"") != std::string::npos ? "jpeg"
                                 : event->find("\"kind\":\"dng\"") != std::string::npos ? "dng"
                                                                                        : "thumbnail";
        std::lock_guard<std::mutex> lock(arrivalsMutex);
        arrivals[{IntAfter(*event, "id"), kind}] = now;
        jpegs += kind == "jpeg";
      }
    });
    for (int i = 1; i <= captures; ++i) {
      if (!shutter() || !recorder.waitForJpegs(i)) {
        std::fprintf(stderr, "web_bench: capture %d did not complete\n", i);
        return 1;
      }
      usleep(20 * 1000);  // one capture at a time: no queueing behind the last
    }
    reader.join();
  }
  std::vector<double> total, save, page;
  for (const auto& [key, arrived] : arrivals) {
    if (key.second == "thumbnail") continue;
    const Recorder::Times t = recorder.times(key.first, key.second == "dng" ? FileKind::kRaw : FileKind::kJpeg);
    total.push_back(Ms(arrived - t.reported));
    save.push_back(Ms(t.saved - t.reported));
    page.push_back(Ms(arrived - t.saved));
  }

  // 2. Bursts of 20, alternating no page and a page that never reads.
  constexpr int kBurst = 20;
  std::vector<double> alone, stalledBurst;
  int saved = captures;
  for (int r = 0; r < rounds; ++r) {
    // The order alternates too, so that neither kind always goes first.
    for (const bool withStalled : {r % 2 == 1, r % 2 == 0}) {
      std::unique_ptr<tether_web_test::EventStream> stalled;
      if (withStalled) {
        stalled = std::make_unique<tether_web_test::EventStream>(url.port, url.authorization(), 4096);
      }
      // A page that has stopped reading, not one still being sent its start.
      usleep(200 * 1000);
      const Clock::time_point start = Clock::now();
      for (int i = 0; i < kBurst; ++i) shutter();
      saved += kBurst;
      if (!recorder.waitForJpegs(saved)) {
        std::fprintf(stderr, "web_bench: a burst did not complete\n");
        return 1;
      }
      (withStalled ? stalledBurst : alone).push_back(Ms(Clock::now() - start));
    }
  }
  session.requestStop();
  runner.join();
  server.stop();

  std::printf("web_bench: %d captures one at a time, then %d rounds of %d-capture bursts (out: %s)\n",
              captures, rounds, kBurst, options.outDir.c_str());
  std::printf("  fileDownloadComplete read -> page event on a client's wire (DNG and JPEG, n=%zu):\n",
              total.size());
  std::printf("    median %.3f ms, p90 %.3f ms  (goal: median within 5 ms)\n", Median(total),
              Percentile(total, 0.9));
  std::printf("    of which the durable save: median %.3f ms; the page's own part: median %.3f ms, p90 %.3f ms\n",
              Median(save), Median(page), Percentile(page, 0.9));
  std::printf("  burst of %d captures, first shutter to last file saved (median of %d):\n", kBurst, rounds);
  std::printf("    no page %.1f ms, one stalled page %.1f ms: ratio %.3f  (goal: within 1.1)\n",
              Median(alone), Median(stalledBurst), Median(stalledBurst) / Median(alone));
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
