// Soak of tether-host's tethered sessions: several `tether-host tether` at
// once, each with its own simulated camera, pictures taken on the cameras
// through their control sockets, each camera going away and coming back
// every so many pictures. Afterwards every session's folder must hold each
// picture exactly once with the bytes the camera made, and no temporary
// folder may keep anything. The memory and open descriptors of tether-host
// and of its task are printed at the start, after each reconnect and at the
// end; descriptors that grow count as a fault. Exit status 1 when any check
// failed.
//
// Two cameras:
//   sim    the simulated camera SDK (its own image width per session),
//          disconnect/connect; the bytes are those a fresh `tether-host
//          capture` of the same camera makes for that picture number.
//   ptpip  krv-sim-ptpip through the libgphoto2 bridge
//          (`tether-host --camera ptpip:...`), unplug/plug; the bytes are
//          checked against the camera's own FNV-1a of every object it made.
//          Before each unplug the soak waits for the pictures taken so far:
//          an unplug mid-transfer loses that transfer by design.
//
//   bench/tether_host_soak [--camera sim|ptpip] [--captures N] [--sessions N]
//                          [--reconnect-every N] [--task PATH]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
  std::string camera = "sim";
  std::string task = TETHER_TASK_PATH;  // another for profiling (a wrapper beside it)
  int captures = 1000;
  int sessions = 0;  // 0: 4 for sim, 1 for ptpip
  int reconnectEvery = 100;
};

// No single line of a healthy session takes anywhere near this long.
constexpr int kLineTimeoutMs = 120000;

// A child with stdout on a pipe read line by line.
class Child {
 public:
  // stderr goes to `errPath`.
  Child(std::vector<std::string> args, const std::vector<std::string>& extraEnv,
        const std::string& errPath) {
    // "NAME=value" replaces NAME; "NAME=" removes it.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      bool replaced = false;
      for (const std::string& x : extraEnv) {
        replaced |= entry.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0;
      }
      if (!replaced) env.push_back(entry);
    }
    for (const std::string& x : extraEnv) {
      if (x.back() != '=') env.push_back(x);
    }
    std::vector<char*> argv, envp;
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);  // stdin stays open: no Enter
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn(&mPid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    mIn = in[1];
    mOut = out[0];
  }
  // Reads lines until one contains `text` (false at the end of output, or
  // when no line comes for kLineTimeoutMs).
  bool waitFor(const std::string& text) {
    for (;;) {
      const size_t nl = mBuf.find('\n');
      if (nl != std::string::npos) {
        const std::string line = mBuf.substr(0, nl);
        mBuf.erase(0, nl + 1);
        mAll += line + "\n";
        if (line.find(text) != std::string::npos) {
          mMatched = line;
          return true;
        }
        continue;
      }
      struct pollfd p = {mOut, POLLIN, 0};
      if (poll(&p, 1, kLineTimeoutMs) <= 0) return false;
      char chunk[4096];
      const ssize_t n = read(mOut, chunk, sizeof chunk);
      if (n <= 0) return false;
      mBuf.append(chunk, static_cast<size_t>(n));
    }
  }
  int finish() {
    while (waitFor("\x01")) {
    }
    close(mIn);
    close(mOut);
    int status = 0;
    waitpid(mPid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void signal(int sig) { kill(mPid, sig); }
  pid_t pid() const { return mPid; }
  const std::string& output() const { return mAll; }
  // The line that the last successful waitFor found.
  const std::string& matched() const { return mMatched; }

 private:
  pid_t mPid = -1;
  int mIn = -1, mOut = -1;
  std::string mBuf, mAll, mMatched;
};

// One command over the simulator's control socket; its reply line.
std::string Control(const std::string& socketPath, const std::string& command) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketPath.c_str());
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string line = command + "\n";
    if (write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
      char c;
      while (read(fd, &c, 1) == 1 && c != '\n') reply += c;
    }
  }
  close(fd);
  return reply;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint64_t Fnv1a64(const std::string& bytes) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  return h;
}

// ---- Memory and descriptors of the processes under soak ----

struct ProcSample {
  long rssKb = -1;
  int fds = -1;
};

ProcSample Sample(pid_t pid) {
  ProcSample out;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) out.rssKb = std::atol(line.c_str() + 6);
  }
  std::error_code error;
  fs::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", error);
  if (!error) out.fds = static_cast<int>(std::distance(fds, fs::directory_iterator()));
  return out;
}

// The tether-task that `parent` started, or -1.
pid_t TaskOf(pid_t parent) {
  std::error_code error;
  for (const auto& e : fs::directory_iterator("/proc", error)) {
    const std::string name = e.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(e.path() / "stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos || line.find("(tether-task)") == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    std::string state;
    long ppid = 0;
    rest >> state >> ppid;
    if (ppid == parent) return static_cast<pid_t>(std::stol(name));
  }
  return -1;
}

struct Point {
  std::string when;
  ProcSample host, task;
};

// ---- Sessions ----

// What the camera says it made: saved name (as tether-host names it) to size
// and FNV-1a.
struct Made {
  size_t size = 0;
  uint64_t fnv = 0;
};

struct Session {
  int index = 0;
  int width = 0;
  int pictures = 0;
  std::string dir;
  int exitCode = -1;
  int controlErrors = 0;
  int lineTimeouts = 0;
  std::vector<Point> points;
  std::map<std::string, Made> made;  // ptpip: from the camera's own report
  std::vector<std::string> env() const {
    return {"TMPDIR=" + dir + "/tmp", "KRV_SIM_CONTROL=" + dir + "/sock",
            "KRV_SIM_IMAGE_WIDTH=" + std::to_string(width), "XDG_STATE_HOME=" + dir + "/state",
            "HOME=" + dir};
  }
};

// How one kind of camera is driven through its control socket.
class Camera {
 public:
  virtual ~Camera() = default;
  // The words before the command on tether-host's command line.
  virtual std::vector<std::string> hostWords() const = 0;
  virtual bool capture() = 0;
  virtual bool leave() = 0;
  virtual bool comeBack() = 0;
  virtual bool waitsBeforeLeaving() const = 0;
};

class SimCamera : public Camera {
 public:
  explicit SimCamera(std::string sock) : mSock(std::move(sock)) {}
  std::vector<std::string> hostWords() const override { return {}; }
  bool capture() override { return Control(mSock, "capture").rfind("ok capture", 0) == 0; }
  bool leave() override { return Control(mSock, "disconnect").rfind("ok", 0) == 0; }
  bool comeBack() override { return Control(mSock, "connect 8241").rfind("ok", 0) == 0; }
  bool waitsBeforeLeaving() const override { return false; }

 private:
  std::string mSock;
};

// krv-sim-ptpip on a free loopback port, for this session alone.
class PtpipCamera : public Camera {
 public:
  PtpipCamera(Session* s)
      : mSession(s), mSock(s->dir + "/sock"),
        mServer({KRV_SIM_PTPIP_PATH, "--port", "0", "--event-port", "0", "--control", mSock}, {},
                s->dir + "/camera.txt") {
    std::istringstream words(mServer.waitFor("ptpip ") ? mServer.matched() : "");
    std::string ptpip, address, port, eventPort;
    words >> ptpip >> address >> port >> eventPort;
    mWord = "ptpip:" + address + ":" + port + ":" + eventPort;
    // Small pictures: the soak is about sessions, not transfer speed.
    if (Control(mSock, "size 160 120").rfind("ok", 0) != 0) ++s->controlErrors;
  }
  ~PtpipCamera() override {
    mServer.signal(SIGTERM);
    mServer.finish();
  }
  std::vector<std::string> hostWords() const override { return {"--camera", mWord}; }
  bool capture() override {
    std::istringstream reply(Control(mSock, "capture"));
    std::string ok, word;
    reply >> ok >> word;
    if (ok != "ok" || word != "capture") return false;
    bool all = true;
    for (std::string handle; reply >> handle;) all &= record(handle);
    return all;
  }
  bool leave() override { return Control(mSock, "unplug").rfind("ok", 0) == 0; }
  bool comeBack() override { return Control(mSock, "plug").rfind("ok", 0) == 0; }
  bool waitsBeforeLeaving() const override { return true; }

 private:
  // "ok handle=1 name=IMG_0001.JPG size=15867 fnv1a64=..." into made, under
  // the name tether-host gives the file (the extension in lower case).
  bool record(const std::string& handle) {
    std::istringstream reply(Control(mSock, "object " + handle));
    std::map<std::string, std::string> fields;
    for (std::string word; reply >> word;) {
      const size_t eq = word.find('=');
      if (eq != std::string::npos) fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    std::string name = fields["name"];
    const size_t dot = name.rfind('.');
    if (name.empty() || dot == std::string::npos || fields["fnv1a64"].empty()) return false;
    for (size_t i = dot; i < name.size(); ++i) name[i] = static_cast<char>(std::tolower(name[i]));
    mSession->made[name] = {std::stoul(fields["size"]), std::stoull(fields["fnv1a64"], nullptr, 16)};
    return true;
  }

  Session* mSession;
  std::string mSock;
  Child mServer;
  std::string mWord;
};

// Drives one tethered session: its pictures, taken on its camera, with the
// camera leaving and coming back every `every` pictures; then Ctrl-C.
void Drive(Session* s, const std::string& kind, const std::string& task, int every) {
  fs::create_directories(s->dir + "/tmp");
  std::unique_ptr<Camera> camera;
  if (kind == "ptpip") camera = std::make_unique<PtpipCamera>(s);
  else camera = std::make_unique<SimCamera>(s->dir + "/sock");
  std::vector<std::string> args = {TETHER_HOST_PATH};
  for (const std::string& word : camera->hostWords()) args.push_back(word);
  for (const std::string& word : {std::string("--task"), task, std::string("tether"), std::string("--out")}) {
    args.push_back(word);
  }
  args.push_back(s->dir + "/out");
  Child tether(args, s->env(), s->dir + "/stderr.txt");
  const auto wait = [&](const std::string& text) {
    if (!tether.waitFor(text)) ++s->lineTimeouts;
  };
  const auto sample = [&](const std::string& when) {
    const pid_t task = TaskOf(tether.pid());
    s->points.push_back({when, Sample(tether.pid()), task > 0 ? Sample(task) : ProcSample()});
  };
  wait("camera connected");
  for (int n = 1; n <= s->pictures; ++n) {
    if (!camera->capture()) ++s->controlErrors;
    // The baseline once the first picture is in (tether-host keeps the
    // output folder open from then on).
    if (n == 1) {
      wait("picture 1:");
      sample("start");
    }
    if (n % every == 0 && n < s->pictures) {
      if (camera->waitsBeforeLeaving()) wait("picture " + std::to_string(n) + ":");
      if (!camera->leave()) ++s->controlErrors;
      wait("camera disconnected");
      if (!camera->comeBack()) ++s->controlErrors;
      wait("camera connected");
      sample("replug " + std::to_string(n / every));
    }
  }
  wait("picture " + std::to_string(s->pictures) + ":");
  sample("end");
  tether.signal(SIGINT);
  s->exitCode = tether.finish();
}

// The same camera's pictures from a fresh simulator, for their bytes.
int Reference(const Session& s) {
  fs::create_directories(s.dir + "/reftmp");
  std::vector<std::string> env = s.env();
  env[0] = "TMPDIR=" + s.dir + "/reftmp";
  env[1] = "KRV_SIM_CONTROL=";
  Child capture({TETHER_HOST_PATH, "--task", TETHER_TASK_PATH, "capture", "-n",
                 std::to_string(s.pictures), "--out", s.dir + "/reference"},
                env, s.dir + "/stderr.txt");
  return capture.finish();
}

// The files each picture should have become: name to bytes' size and hash.
std::map<std::string, Made> Expected(const Session& s, const std::string& kind) {
  if (kind == "ptpip") return s.made;
  std::map<std::string, Made> expected;
  for (const auto& e : fs::directory_iterator(s.dir + "/reference")) {
    const std::string bytes = ReadFile(e.path());
    expected[e.path().filename()] = {bytes.size(), Fnv1a64(bytes)};
  }
  return expected;
}

struct Tally {
  size_t sent = 0, saved = 0, lost = 0, misfiled = 0, mismatched = 0;
  int other = 0;  // leftovers, missing thumbnails, control errors, exits
};

// Every expected file is in out with its bytes; a saved file whose bytes are
// another picture's, or that no picture should have become, is misfiled.
Tally Check(const Session& s, const std::string& kind) {
  Tally t;
  const std::map<std::string, Made> expected = Expected(s, kind);
  std::map<uint64_t, std::string> byHash;
  for (const auto& [name, made] : expected) byHash[made.fnv] = name;
  t.sent = expected.size();
  size_t thumbnails = 0;
  for (const auto& e : fs::directory_iterator(s.dir + "/out")) {
    const std::string name = e.path().filename();
    ++t.saved;
    const bool thumbnail = name.size() > 10 && name.compare(name.size() - 10, 10, ".thumb.jpg") == 0;
    if (thumbnail && kind == "ptpip") {  // the camera's thumbnail: no reference bytes
      ++thumbnails;
      continue;
    }
    const std::string bytes = ReadFile(e.path());
    const uint64_t fnv = Fnv1a64(bytes);
    auto it = expected.find(name);
    if (it != expected.end() && it->second.fnv == fnv && it->second.size == bytes.size()) continue;
    auto other = byHash.find(fnv);
    if (it == expected.end() || (other != byHash.end() && other->second != name)) {
      std::printf("  session %d: %s misfiled\n", s.index, name.c_str());
      ++t.misfiled;
    } else {
      std::printf("  session %d: %s differs from what the camera sent\n", s.index, name.c_str());
      ++t.mismatched;
    }
  }
  for (const auto& [name, made] : expected) {
    if (!fs::exists(fs::path(s.dir) / "out" / name)) {
      if (t.lost < 10) std::printf("  session %d: %s lost\n", s.index, name.c_str());
      ++t.lost;
    }
  }
  if (kind == "ptpip" && thumbnails != static_cast<size_t>(s.pictures)) {
    std::printf("  session %d: %zu thumbnails for %d pictures\n", s.index, thumbnails, s.pictures);
    ++t.other;
  }
  for (const char* tmp : {"/tmp", "/reftmp"}) {
    if (fs::exists(s.dir + tmp) && !fs::is_empty(s.dir + tmp)) {
      std::printf("  session %d: %s%s is not empty\n", s.index, s.dir.c_str(), tmp);
      ++t.other;
    }
  }
  return t;
}

// Prints the samples; descriptors that end above where they started (both
// with the camera connected and every picture in) are a leak.
int ReportPoints(const Session& s) {
  for (const Point& p : s.points) {
    std::printf("  session %d %-10s tether-host rss %6ld KiB fds %3d | task rss %6ld KiB fds %3d\n",
                s.index, p.when.c_str(), p.host.rssKb, p.host.fds, p.task.rssKb, p.task.fds);
  }
  if (s.points.size() < 2) return 1;
  const Point& first = s.points.front();
  const Point& last = s.points.back();
  int faults = 0;
  if (last.host.fds > first.host.fds || last.host.fds < 0) ++faults;
  if (last.task.fds > first.task.fds || last.task.fds < 0) ++faults;
  if (faults > 0) std::printf("  session %d: open descriptors grew\n", s.index);
  return faults;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const int v = std::atoi(argv[i + 1]);
    if (a == "--camera") o.camera = argv[i + 1];
    else if (a == "--task") o.task = argv[i + 1];
    else if (a == "--captures") o.captures = v;
    else if (a == "--sessions") o.sessions = v;
    else if (a == "--reconnect-every") o.reconnectEvery = v;
  }
  if (o.camera != "sim" && o.camera != "ptpip") {
    std::fprintf(stderr, "tether_host_soak: --camera sim or ptpip\n");
    return 2;
  }
  if (o.sessions <= 0) o.sessions = o.camera == "sim" ? 4 : 1;
  if (o.reconnectEvery <= 0) o.reconnectEvery = o.captures + 1;
  std::string root = (fs::temp_directory_path() / "tether-host-soak-XXXXXX").string();
  if (mkdtemp(root.data()) == nullptr) return 1;
  std::vector<Session> sessions(static_cast<size_t>(o.sessions));
  for (int i = 0; i < o.sessions; ++i) {
    Session& s = sessions[static_cast<size_t>(i)];
    s.index = i;
    s.width = 320 + 80 * i;
    s.pictures = o.captures / o.sessions + (i < o.captures % o.sessions ? 1 : 0);
    s.dir = root + "/session" + std::to_string(i);
  }
  const auto start = Clock::now();
  std::vector<std::thread> drivers;
  for (Session& s : sessions) drivers.emplace_back(Drive, &s, o.camera, o.task, o.reconnectEvery);
  for (std::thread& t : drivers) t.join();
  const double soakSeconds = std::chrono::duration<double>(Clock::now() - start).count();

  int faults = 0;
  Tally all;
  for (const Session& s : sessions) {
    const int refCode = o.camera == "sim" ? Reference(s) : 0;
    const Tally t = Check(s, o.camera);
    const int points = ReportPoints(s);
    std::printf("session %d: %d pictures, %zu files sent, %zu saved, %zu lost, %zu misfiled, %zu "
                "byte mismatches; tether exit %d, %d control errors, %d waits that timed out\n",
                s.index, s.pictures, t.sent, t.saved, t.lost, t.misfiled, t.mismatched, s.exitCode,
                s.controlErrors, s.lineTimeouts);
    faults += static_cast<int>(t.lost + t.misfiled + t.mismatched) + t.other + points +
              (s.exitCode != 0) + s.controlErrors + s.lineTimeouts + (refCode != 0);
    all.sent += t.sent;
    all.saved += t.saved;
    all.lost += t.lost;
    all.misfiled += t.misfiled;
    all.mismatched += t.mismatched;
  }
  std::printf("%s camera, %d sessions, %d camera-side captures, reconnect every %d: %.1f s (%.1f "
              "pictures/s)\n",
              o.camera.c_str(), o.sessions, o.captures, o.reconnectEvery, soakSeconds,
              o.captures / soakSeconds);
  std::printf("captures sent %d, files sent %zu, files saved %zu, lost %zu, misfiled %zu, byte "
              "mismatches %zu; %d faults\n",
              o.captures, all.sent, all.saved, all.lost, all.misfiled, all.mismatched, faults);
  if (faults == 0) fs::remove_all(root);
  else std::printf("kept for inspection: %s\n", root.c_str());
  return faults == 0 ? 0 : 1;
}
