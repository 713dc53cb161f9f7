// Soak of tether-host's tethered sessions: several `tether-host tether` at
// once, each with its own simulated camera (its own image width), pictures
// taken on the cameras through their control sockets, each camera
// disconnecting and reconnecting every so many pictures. Afterwards every
// session's folder must hold each picture exactly once, with the bytes a
// fresh `tether-host capture` of the same camera produces for that picture
// number, and no temporary folder may keep anything. A report, not a test:
// ctest does not run it. Exit status 1 when any check failed.
//   bench/tether_host_soak [--captures N] [--sessions N] [--reconnect-every N]
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
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
  int captures = 1000;
  int sessions = 4;
  int reconnectEvery = 100;
};

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
  // Reads lines until one contains `text` (false at the end of output).
  bool waitFor(const std::string& text) {
    for (;;) {
      const size_t nl = mBuf.find('\n');
      if (nl != std::string::npos) {
        const std::string line = mBuf.substr(0, nl);
        mBuf.erase(0, nl + 1);
        mAll += line + "\n";
        if (line.find(text) != std::string::npos) return true;
        continue;
      }
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
  const std::string& output() const { return mAll; }

 private:
  pid_t mPid = -1;
  int mIn = -1, mOut = -1;
  std::string mBuf, mAll;
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

struct Session {
  int index = 0;
  int width = 0;
  int pictures = 0;
  std::string dir;
  int exitCode = -1;
  int controlErrors = 0;
  std::vector<std::string> env() const {
    return {"TMPDIR=" + dir + "/tmp", "KRV_SIM_CONTROL=" + dir + "/sock",
            "KRV_SIM_IMAGE_WIDTH=" + std::to_string(width), "XDG_STATE_HOME=" + dir + "/state"};
  }
};

// Drives one tethered session: its pictures, taken on its camera, with a
// disconnect and reconnect every `every` pictures; then Ctrl-C.
void Drive(Session* s, int every) {
  fs::create_directories(s->dir + "/tmp");
  Child tether({TETHER_HOST_PATH, "--task", TETHER_TASK_PATH, "tether", "--out", s->dir + "/out"},
               s->env(), s->dir + "/stderr.txt");
  const std::string sock = s->dir + "/sock";
  tether.waitFor("camera connected");
  for (int n = 1; n <= s->pictures; ++n) {
    if (Control(sock, "capture").rfind("ok capture", 0) != 0) ++s->controlErrors;
    if (n % every == 0 && n < s->pictures) {
      if (Control(sock, "disconnect").rfind("ok", 0) != 0) ++s->controlErrors;
      tether.waitFor("camera disconnected");
      if (Control(sock, "connect 8241").rfind("ok", 0) != 0) ++s->controlErrors;
      tether.waitFor("camera connected");
    }
  }
  tether.waitFor("picture " + std::to_string(s->pictures) + ":");
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

// Every reference file has its twin in out, byte for byte, and out holds
// nothing else; the temporary folders are empty. Returns the faults found.
int Check(const Session& s) {
  int faults = 0;
  size_t compared = 0;
  for (const auto& e : fs::directory_iterator(s.dir + "/reference")) {
    const fs::path twin = fs::path(s.dir) / "out" / e.path().filename();
    if (!fs::exists(twin) || ReadFile(twin) != ReadFile(e.path())) {
      std::printf("  session %d: %s differs or is missing\n", s.index, twin.c_str());
      ++faults;
    }
    ++compared;
  }
  const size_t saved = static_cast<size_t>(std::distance(fs::directory_iterator(s.dir + "/out"),
                                                         fs::directory_iterator()));
  if (saved != compared || compared != static_cast<size_t>(3 * s.pictures)) {
    std::printf("  session %d: %zu files saved, %zu in the reference, %d expected\n", s.index, saved,
                compared, 3 * s.pictures);
    ++faults;
  }
  for (const char* tmp : {"/tmp", "/reftmp"}) {
    if (!fs::is_empty(s.dir + tmp)) {
      std::printf("  session %d: %s%s is not empty\n", s.index, s.dir.c_str(), tmp);
      ++faults;
    }
  }
  return faults;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const int v = std::atoi(argv[i + 1]);
    if (a == "--captures") o.captures = v;
    else if (a == "--sessions") o.sessions = v;
    else if (a == "--reconnect-every") o.reconnectEvery = v;
  }
  std::string root = (fs::temp_directory_path() / "tether-host-soak-XXXXXX").string();
  if (mkdtemp(root.data()) == nullptr) return 1;
  std::vector<Session> sessions(static_cast<size_t>(o.sessions));
  for (int i = 0; i < o.sessions; ++i) {
    Session& s = sessions[static_cast<size_t>(i)];
    s = {i, 320 + 80 * i, o.captures / o.sessions + (i < o.captures % o.sessions ? 1 : 0),
         root + "/session" + std::to_string(i)};
  }
  const auto start = Clock::now();
  std::vector<std::thread> drivers;
  for (Session& s : sessions) drivers.emplace_back(Drive, &s, o.reconnectEvery);
  for (std::thread& t : drivers) t.join();
  const double soakSeconds = std::chrono::duration<double>(Clock::now() - start).count();

  int faults = 0;
  for (const Session& s : sessions) {
    const int refCode = Reference(s);
    const int found = Check(s);
    std::printf("session %d: width %d, %d pictures, tether exit %d, %d control errors, reference "
                "exit %d, %d faults\n",
                s.index, s.width, s.pictures, s.exitCode, s.controlErrors, refCode, found);
    faults += found + (s.exitCode != 0) + s.controlErrors + (refCode != 0);
  }
  std::printf("%d sessions, %d camera-side captures, reconnect every %d: %.1f s (%.1f pictures/s); "
              "%d faults\n",
              o.sessions, o.captures, o.reconnectEvery, soakSeconds, o.captures / soakSeconds, faults);
  if (faults == 0) fs::remove_all(root);
  else std::printf("kept for inspection: %s\n", root.c_str());
  return faults == 0 ? 0 : 1;
}
