// live_bench: a live view frame's time from the simulated SDK's frame
// callback (stamped into the frame by KRV_SIM_LIVE_STAMP) to
//  - the host end of the task's pipe: a bare TaskProcess reading frames
//    (the baseline, the frame's own time through the task), and
//  - a page's client socket: the frame read whole from GET /live/frame of a
//    tethered session with the live page (the real task, the same server
//    as `tether-host serve`), the client asking for the next frame as soon
//    as it has one, as the page does after each paint.
// Rounds alternate between the two (and their order), in one run; prints
// the medians and their ratio; passes or fails on nothing.
//   [TMPDIR=DIR] build/bench/live_bench [frames per round, default 100] [rounds, default 3]
//                                       [width height, default 640 480]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/sample_stats.h"
#include "host/session/CameraControl.h"
#include "host/session/TetherSession.h"
#include "host/web/LiveFrames.h"
#include "host/web/LiveObserver.h"
#include "host/web/LiveServer.h"
#include "source/ProtocolNames.h"
#include "tests/host/web/http_probe.h"

namespace {

using tether_bench::Median;
using tether_bench::Percentile;

namespace proto = tether::proto;
using namespace tether_host;

constexpr int kReplyMs = 10000;

uint64_t NowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

// The callback's time from the frame's comment; 0 when it has none.
uint64_t StampOf(const std::string& jpeg) {
  const size_t at = jpeg.find(" t=");
  if (at == std::string::npos || at + 23 > jpeg.size()) return 0;
  const std::string digits = jpeg.substr(at + 3, 20);
  if (digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::strtoull(digits.c_str(), nullptr, 10);
}

// A browser's way of asking: a kept-alive connection (a new one after
// "Connection: close"), each response read by its Content-Length; the time
// taken when its last byte is read.
class KeptAlive {
 public:
  explicit KeptAlive(int port) : mPort(port) {}
  ~KeptAlive() {
    if (mFd >= 0) close(mFd);
  }
  // The status (0: the connection failed), *head and *body.
  int exchange(const std::string& request, std::string* head, std::string* body) {
    if (mFd < 0) open();
    if (mFd < 0 || write(mFd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) return 0;
    size_t end;
    while ((end = mBuffer.find("\r\n\r\n")) == std::string::npos) {
      if (!readMore()) return 0;
    }
    *head = mBuffer.substr(0, end + 4);
    mBuffer.erase(0, end + 4);
    const size_t at = head->find("Content-Length: ");
    const size_t length = at == std::string::npos ? 0 : std::strtoul(head->c_str() + at + 16, nullptr, 10);
    while (mBuffer.size() < length) {
      if (!readMore()) return 0;
    }
    *body = mBuffer.substr(0, length);
    mBuffer.erase(0, length);
    if (head->find("Connection: close") != std::string::npos) {
      close(mFd);
      mFd = -1;
      mBuffer.clear();
    }
    return head->size() > 12 ? std::atoi(head->c_str() + 9) : 0;
  }

 private:
  void open() {
    mFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(mPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    setsockopt(mFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(mFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(mFd);
      mFd = -1;
    }
  }
  bool readMore() {
    char chunk[65536];
    const ssize_t n = read(mFd, chunk, sizeof chunk);
    if (n <= 0) return false;
    mBuffer.append(chunk, static_cast<size_t>(n));
    return true;
  }
  int mPort;
  int mFd = -1;
  std::string mBuffer;
};

// When the session read each frame from the task's pipe, by number.
class FrameClock : public TetherObserver {
 public:
  void liveFrame(uint32_t sequence, const std::shared_ptr<const std::string>&) override {
    const uint64_t now = NowNs();
    std::lock_guard<std::mutex> lock(mMutex);
    mRead[sequence] = now;
  }
  uint64_t readAt(uint32_t sequence) {
    std::lock_guard<std::mutex> lock(mMutex);
    return mRead[sequence];
  }

 private:
  std::mutex mMutex;
  std::map<uint32_t, uint64_t> mRead;
};

int gWidth = 640, gHeight = 480;  // the live frames' size

std::vector<std::string> Environment(const std::string& dir) {
  return {"KRV_SIM_LIVE_STAMP=1", "TMPDIR=" + dir, "KRV_SIM_LIVE_WIDTH=" + std::to_string(gWidth),
          "KRV_SIM_LIVE_HEIGHT=" + std::to_string(gHeight)};
}

// The baseline: frames read straight from the task's pipe.
bool PipeRound(const std::string& dir, int frames, std::vector<double>* ms) {
  TaskProcess::Options options;
  options.path = TETHER_TASK_PATH;
  options.environment = Environment(dir);
  options.logLine = [](const std::string&) {};
  std::string error;
  std::unique_ptr<TaskProcess> task = TaskProcess::start(options, &error);
  if (!task) {
    std::fprintf(stderr, "live_bench: %s\n", error.c_str());
    return false;
  }
  CameraControl control(task.get(), -1);
  HostMessage reply;
  bool ok = control.waitForCamera(kReplyMs) == CameraControl::Wait::kDone &&
            control.request(proto::kStartLiveView, nullptr, kReplyMs, &reply) == CameraControl::Wait::kDone;
  for (int i = 0; ok && i < frames; ++i) {
    std::vector<uint8_t> jpeg;
    uint32_t sequence = 0;
    bool stopped = false;
    ok = control.nextFrame(kReplyMs, &jpeg, &sequence, &stopped) == CameraControl::Wait::kDone && !stopped;
    const uint64_t now = NowNs();
    const uint64_t stamp = ok ? StampOf(std::string(jpeg.begin(), jpeg.end())) : 0;
    if (stamp == 0) ok = false;
    if (ok) ms->push_back((now - stamp) / 1e6);
  }
  task->send(proto::kShutdown, nullptr);
  if (!task->waitForExit(5000)) task->terminate();
  task->removeTempDir();
  return ok;
}

// The page's way: the session, its live page, and a client pulling frames.
bool PageRound(const std::string& dir, int frames, std::vector<double>* ms, std::vector<double>* served) {
  TetherOptions options;
  options.outDir = dir + "/out";
  options.launch.taskPath = TETHER_TASK_PATH;
  options.launch.taskLogPath = dir + "/task.log";
  options.launch.environment = Environment(dir);
  EventHub hub(256, 32);
  PictureIndex pictures;
  LiveFrames liveFrames(8);
  LiveObserver observer(&hub, &pictures, &liveFrames);
  TetherSession session(options);
  FrameClock clock;
  session.addObserver(&clock);
  session.addObserver(&observer);
  LiveServer server(
      LiveServer::Options(), &hub, &pictures, nullptr,
      [&session](std::string name, std::unique_ptr<ZyLuaTETable> payload, LiveServer::ReplyHandler onReply) {
        session.request(std::move(name), std::move(payload), std::move(onReply));
      },
      &liveFrames);
  std::string error;
  if (!server.start(&error)) {
    std::fprintf(stderr, "live_bench: %s\n", error.c_str());
    return false;
  }
  std::thread runner([&session] { session.run(); });
  tether_web_test::PageUrl url;
  url.parse(server.pageUrl());
  const std::string host = "Host: 127.0.0.1:" + std::to_string(url.port) + "\r\n" + url.authorization() + "\r\n";
  const std::string start = "POST /live/start HTTP/1.1\r\n" + host + "Origin: http://127.0.0.1:" +
                            std::to_string(url.port) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  bool ok = false;
  for (int i = 0; i < 100 && !ok; ++i) {  // until the camera is there
    ok = tether_web_test::Exchange(url.port, start).status == 200;
    if (!ok) usleep(100 * 1000);
  }
  uint32_t after = 0;
  KeptAlive page(url.port);
  for (int i = 0; ok && i < frames; ++i) {
    std::string head, body;
    const int status = page.exchange("GET /live/frame?after=" + std::to_string(after) + " HTTP/1.1\r\n" + host + "\r\n",
                                     &head, &body);
    const uint64_t now = NowNs();
    if (status == 204 && head.find("X-Live-View: off") == std::string::npos) {
      --i;
      continue;
    }
    const uint64_t stamp = status == 200 ? StampOf(body) : 0;
    const size_t at = head.find("X-Frame-Sequence: ");
    ok = stamp != 0 && at != std::string::npos;
    if (ok) {
      after = static_cast<uint32_t>(std::strtoul(head.c_str() + at + 18, nullptr, 10));
      ms->push_back((now - stamp) / 1e6);
      served->push_back((now - clock.readAt(after)) / 1e6);
    }
  }
  session.requestStop();
  runner.join();
  server.stop();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 100;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  if (argc > 4) {
    gWidth = std::max(16, std::atoi(argv[3]));
    gHeight = std::max(16, std::atoi(argv[4]));
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/live-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("live_bench: mkdtemp");
    return 1;
  }
  const std::string dir = pattern;
  std::vector<double> pipe, page, served;
  for (int r = 0; r < rounds; ++r) {
    for (const bool pageFirst : {r % 2 == 1, r % 2 == 0}) {
      const bool ok = pageFirst ? PageRound(dir, frames, &page, &served) : PipeRound(dir, frames, &pipe);
      if (!ok) {
        std::fprintf(stderr, "live_bench: a %s round did not complete\n", pageFirst ? "page" : "pipe");
        return 1;
      }
    }
  }
  std::printf("live_bench: %d rounds of %d frames each way, %dx%d at 20 fps\n", rounds, frames, gWidth,
              gHeight);
  std::printf("  SDK callback -> host end of the task's pipe: median %.3f ms, p90 %.3f ms\n", Median(pipe),
              Percentile(pipe, 0.9));
  std::printf("  SDK callback -> page's client socket (serve): median %.3f ms, p90 %.3f ms\n", Median(page),
              Percentile(page, 0.9));
  std::printf("    of which the session's pipe read -> client socket: median %.3f ms\n", Median(served));
  std::printf("  ratio of medians %.3f  (goal: within 1.2)\n", Median(page) / Median(pipe));
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
