// tether-host driven as a user drives it: the built tool, the real task with
// the simulated camera (or the fake task where a fault must be staged), the
// simulator's control socket for the shutter on the camera, and the files
// and lines the user would look at.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/host/host_test_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using tether_host_test::ReadFile;
using tether_host_test::ScratchDir;
using tether_host_test::WriteFile;

constexpr int kGuardMs = 60000;  // a hang guard only

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

// One tether-host process: stdin and stdout on pipes, stderr in a file.
// Runs with TMPDIR=<dir>/tmp, its default task log under <dir>/state and the
// simulator's control socket at <dir>/sock, plus `extraEnv`.
class HostRun {
 public:
  HostRun(const std::string& dir, std::vector<std::string> args,
          const std::vector<std::string>& extraEnv = {})
      : mErrPath(dir + "/stderr-" + std::to_string(sSerial++) + ".txt") {
    args.insert(args.begin(), TETHER_HOST_PATH);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string s = *e;
      if (s.rfind("TMPDIR=", 0) != 0 && s.rfind("KRV_SIM_", 0) != 0 && s.rfind("XDG_STATE_HOME=", 0) != 0) {
        env.push_back(s);
      }
    }
    fs::create_directories(dir + "/tmp");
    env.push_back("TMPDIR=" + dir + "/tmp");
    env.push_back("XDG_STATE_HOME=" + dir + "/state");
    env.push_back("KRV_SIM_CONTROL=" + dir + "/sock");
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    spawn(args, env);
  }
  ~HostRun() {
    if (mPid > 0 && !mDone) {
      kill(mPid, SIGKILL);
      waitpid(mPid, nullptr, 0);
    }
    if (mIn >= 0) close(mIn);
    if (mOut >= 0) close(mOut);
  }

  // Reads stdout up to a line containing `text`; false at its end.
  bool waitFor(const std::string& text) {
    for (;;) {
      const size_t nl = mBuffered.find('\n', mScanned);
      if (nl != std::string::npos) {
        const bool found = Contains(mBuffered.substr(mScanned, nl - mScanned), text);
        mScanned = nl + 1;
        if (found) return true;
        continue;
      }
      if (!readMore()) return false;
    }
  }
  void type(const std::string& text) { ASSERT_EQ(write(mIn, text.data(), text.size()), static_cast<ssize_t>(text.size())); }
  void signal(int sig) { kill(mPid, sig); }
  // Waits for the exit; the exit code, or -signal.
  int finish() {
    if (mIn >= 0) close(mIn);
    mIn = -1;
    while (readMore()) {
    }
    int status = 0;
    waitpid(mPid, &status, 0);
    mDone = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  const std::string& out() const { return mBuffered; }
  std::string err() const { return ReadFile(mErrPath); }

 private:
  void spawn(std::vector<std::string>& args, std::vector<std::string>& env) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<char*> argv, envp;
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, mErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&mPid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) mPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    mIn = in[1];
    mOut = out[0];
  }
  bool readMore() {
    if (mOut < 0) return false;
    struct pollfd p = {mOut, POLLIN, 0};
    char buf[4096];
    const ssize_t n = poll(&p, 1, kGuardMs) == 1 ? read(mOut, buf, sizeof buf) : 0;
    if (n <= 0) {
      close(mOut);
      mOut = -1;
      return false;
    }
    mBuffered.append(buf, static_cast<size_t>(n));
    return true;
  }

  static inline int sSerial = 0;
  pid_t mPid = -1;
  int mIn = -1;
  int mOut = -1;
  bool mDone = false;
  std::string mBuffered;
  size_t mScanned = 0;
  std::string mErrPath;
};

struct Outcome {
  int code;
  std::string out;
  std::string err;
};

Outcome RunToEnd(const std::string& dir, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {}) {
  HostRun run(dir, args, env);
  const int code = run.finish();
  return {code, run.out(), run.err()};
}

std::vector<std::string> RealTask(std::vector<std::string> args) {
  args.insert(args.begin(), {"--task", TETHER_TASK_PATH});
  return args;
}
std::vector<std::string> FakeTaskArgs(std::vector<std::string> args) {
  args.insert(args.begin(), {"--task", FAKE_TASK_PATH});
  return args;
}

// One command to the simulator through its control socket; the reply.
std::string SimControl(const std::string& dir, const std::string& command) {
  const std::string line = std::string(KRV_SIM_CTL_PATH) + " --socket " + dir + "/sock " + command;
  FILE* p = popen(line.c_str(), "r");
  std::string reply;
  char buf[256];
  while (p != nullptr && fgets(buf, sizeof buf, p) != nullptr) reply += buf;
  if (p != nullptr) pclose(p);
  return reply;
}

// Names in `dir` and below, relative and sorted.
std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) names.push_back(fs::relative(e.path(), dir).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The width in a JPEG's start-of-frame, or -1.
int JpegWidth(const std::string& jpeg) {
  for (size_t i = 2; i + 9 < jpeg.size(); ++i) {
    const auto m = static_cast<unsigned char>(jpeg[i + 1]);
    if (static_cast<unsigned char>(jpeg[i]) == 0xFF && (m == 0xC0 || m == 0xC1 || m == 0xC2)) {
      return static_cast<unsigned char>(jpeg[i + 7]) << 8 | static_cast<unsigned char>(jpeg[i + 8]);
    }
  }
  return -1;
}

// Observation: four sessions at once exited 6, 6, 0, 6 with each other's files.
TEST(TetherHostUserTest, SessionsRunningAtOnceNeverSeeEachOthersFiles) {
  ScratchDir dir;
  const int widths[] = {320, 400, 480, 560};
  std::vector<std::unique_ptr<HostRun>> runs;
  for (int i = 0; i < 4; ++i) {
    runs.emplace_back(new HostRun(dir.path(), RealTask({"capture", "-n", "10", "--out", dir.path() + "/race/" + std::to_string(i)}),
                                  {"KRV_SIM_IMAGE_WIDTH=" + std::to_string(widths[i]),
                                   "KRV_SIM_CONTROL=" + dir.path() + "/sock" + std::to_string(i)}));
  }
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(runs[i]->finish(), 0) << runs[i]->err();
    const std::string out = dir.path() + "/race/" + std::to_string(i);
    const std::vector<std::string> files = Listing(out);
    EXPECT_EQ(files.size(), 30u) << out;
    for (const std::string& name : files) {
      if (name.size() > 4 && name.substr(name.size() - 4) == ".jpg" && !Contains(name, "thumb")) {
        EXPECT_EQ(JpegWidth(ReadFile(out + "/" + name)), widths[i]) << out << "/" << name;
      }
    }
  }
  EXPECT_TRUE(fs::is_empty(dir.path() + "/tmp")) << "left in the temporary folder";
}

// Observations: a folder it may not write, or a path too long, waited 30 s
// and blamed the thumbnail; a save the task refused looked like a timeout;
// a bad log path blamed the task. An output folder whose files' paths
// exceed PATH_MAX now saves: files are placed relative to the opened folder.
TEST(TetherHostUserTest, FailuresAreToldAtOnceWithTheirCause) {
  ScratchDir dir;
  std::string longOut = dir.path();
  while (longOut.size() < 4092) longOut += "/" + std::string(std::min<size_t>(200, 4092 - longOut.size() - 1), 'd');
  const std::string readOnly = dir.sub("ro");
  chmod(readOnly.c_str(), 0555);
  const bool canWriteReadOnly = access(readOnly.c_str(), W_OK) == 0;  // root can

  struct Case {
    const char* what;
    std::vector<std::string> args;
    int code;
    std::string said;
  };
  std::vector<Case> cases = {
      {"path too long", RealTask({"capture", "--out", longOut}), 1, "File name too long"},
      {"refused save", FakeTaskArgs({"capture", "--out", dir.sub("refused")}), 6,
       "the task did not save the JPEG: No space left on device"},
      {"log file", RealTask({"--task-log", "/nonexistent/x.log", "settings"}), 1,
       "cannot open the task log /nonexistent/x.log"},
  };
  if (!canWriteReadOnly) {
    cases.push_back({"read-only folder", RealTask({"capture", "--out", readOnly}), 1,
                     "cannot write into " + readOnly + ": Permission denied"});
  }
  for (const Case& c : cases) {
    const Outcome run = RunToEnd(dir.path(), c.args, {"FAKE_TASK_MODE=refusejpeg"});
    EXPECT_EQ(run.code, c.code) << c.what << "\n" << run.err;
    EXPECT_TRUE(Contains(run.err, c.said)) << c.what << "\n" << run.err;
    EXPECT_FALSE(Contains(run.err, "within")) << c.what << "\n" << run.err;
    EXPECT_FALSE(Contains(run.err, "cannot start task")) << c.what << "\n" << run.err;
    if (c.code == 6) {
      EXPECT_TRUE(Contains(run.err, "the task's last log lines")) << c.what << "\n" << run.err;
    }
  }
}

// Observation: "-n" without a value and "--task" without a path were
// blamed on the wrong thing.
TEST(TetherHostUserTest, ArgumentErrorsNameTheOptionAndEveryCommandHasHelp) {
  ScratchDir dir;
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"capture", "-n"}, "-n"},
      {{"--task"}, "--task"},
      {{"capture", "-n", "0"}, "-n"},
      {{"capture", "--timeout", "soon"}, "--timeout"},
      {{"capture", "--bogus"}, "--bogus"},
      {{"capture", "--filename", "%q.%C"}, "%q"},
      {{"tether"}, "--out"},
      {{"dance"}, "unknown command 'dance'"},
  };
  for (const auto& [args, named] : cases) {
    const Outcome run = RunToEnd(dir.path(), FakeTaskArgs(args));
    EXPECT_EQ(run.code, 1) << args.back() << "\n" << run.err;
    EXPECT_TRUE(Contains(run.err, named)) << args.back() << "\n" << run.err;
  }
  for (const char* command : {"watch", "capture", "settings", "tether", "serve", "recover"}) {
    const Outcome run = RunToEnd(dir.path(), {command, "--help"});
    EXPECT_EQ(run.code, 0) << command;
    EXPECT_TRUE(Contains(run.out, std::string("tether-host ") + command)) << run.out;
    EXPECT_TRUE(Contains(run.out, "exit status:")) << run.out;
  }
  const std::string simHelp = std::string(KRV_SIM_CTL_PATH) + " --help > " + dir.path() + "/sim-help";
  EXPECT_EQ(std::system(simHelp.c_str()), 0);
  EXPECT_TRUE(Contains(ReadFile(dir.path() + "/sim-help"), "usage: krv-sim-ctl"));
}

// Observation: about twenty task log lines per picture on the terminal.
TEST(TetherHostUserTest, TheTaskLogGoesToAFileUnlessVerbose) {
  ScratchDir dir;
  const Outcome quiet = RunToEnd(dir.path(), RealTask({"capture", "--out", dir.sub("q")}));
  ASSERT_EQ(quiet.code, 0) << quiet.err;
  size_t start = 0;
  for (size_t nl; (nl = quiet.err.find('\n', start)) != std::string::npos; start = nl + 1) {
    EXPECT_EQ(quiet.err.compare(start, 12, "tether-host:"), 0) << quiet.err.substr(start, nl - start);
  }
  EXPECT_TRUE(Contains(ReadFile(dir.path() + "/state/tether-host/task.log"), "TetherTMP1"));

  const Outcome verbose = RunToEnd(dir.path(), RealTask({"-v", "capture", "--out", dir.sub("v")}));
  ASSERT_EQ(verbose.code, 0) << verbose.err;
  EXPECT_TRUE(Contains(verbose.err, "TetherTMP1")) << verbose.err;
}

// Observation: IMG_0003.dng beside IMG_0003-1.thumb.jpg, and an
// interrupted capture's orphan thumbnail not in the summary.
TEST(TetherHostUserTest, ACapturesFilesShareOneNameAndGapsAreListed) {
  ScratchDir dir;
  const std::string out = dir.sub("out");
  WriteFile(out + "/IMG_0001.thumb.jpg", "an orphan");
  WriteFile(out + "/IMG_0002.dng", "an earlier picture");
  const Outcome run = RunToEnd(dir.path(), RealTask({"capture", "-n", "2", "--out", out}));
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(Listing(out), (std::vector<std::string>{
                              "IMG_0001-1.dng", "IMG_0001-1.jpg", "IMG_0001-1.thumb.jpg",
                              "IMG_0001.thumb.jpg", "IMG_0002-1.dng", "IMG_0002-1.jpg",
                              "IMG_0002-1.thumb.jpg", "IMG_0002.dng"}));
  EXPECT_EQ(ReadFile(out + "/IMG_0001.thumb.jpg"), "an orphan");

  const std::string patterned = dir.path() + "/by-date";
  const Outcome byDate = RunToEnd(dir.path(), RealTask({"capture", "--out", patterned,
                                                        "--filename", "%Y/%n-%f.%C"}));
  ASSERT_EQ(byDate.code, 0) << byDate.err;
  const std::string year = std::to_string(1900 + [] { time_t t = time(nullptr); struct tm l; localtime_r(&t, &l); return l.tm_year; }());
  EXPECT_EQ(Listing(patterned), (std::vector<std::string>{year + "/1-IMG_0001.dng", year + "/1-IMG_0001.jpg",
                                                          year + "/1-IMG_0001.thumb.jpg"}));

  const Outcome gap = RunToEnd(dir.path(), FakeTaskArgs({"capture", "--timeout", "1", "--out", dir.sub("gap")}),
                               {"FAKE_TASK_MODE=thumbonly"});
  EXPECT_EQ(gap.code, 6) << gap.err;
  EXPECT_TRUE(Contains(gap.out, "INCOMPLETE: capture 1: no image file arrived")) << gap.out;
}

// Observation: watch left every picture in the shared temporary folder.
TEST(TetherHostUserTest, WatchMovesTheFilesOutOrSaysWhereTheyAre) {
  ScratchDir dir;
  const std::string out = dir.path() + "/watched";
  {
    HostRun watch(dir.path(), RealTask({"watch", "--out", out}));
    ASSERT_TRUE(watch.waitFor("\"deviceAdded\""));
    EXPECT_EQ(SimControl(dir.path(), "capture"), "ok capture 1\n");
    ASSERT_TRUE(watch.waitFor("\"fileDownloadComplete\""));
    ASSERT_TRUE(watch.waitFor("\"fileDownloadComplete\""));
    watch.signal(SIGINT);
    EXPECT_EQ(watch.finish(), 0) << watch.err();
  }
  EXPECT_EQ(Listing(out), (std::vector<std::string>{"IMG_0001.dng", "IMG_0001.jpg", "IMG_0001.thumb.jpg"}));
  EXPECT_TRUE(fs::is_empty(dir.path() + "/tmp"));

  HostRun keep(dir.path(), RealTask({"watch"}));
  ASSERT_TRUE(keep.waitFor("\"deviceAdded\""));
  keep.signal(SIGINT);
  EXPECT_EQ(keep.finish(), 0);
  EXPECT_TRUE(Contains(keep.err(), "the task's files stay in " + dir.path() + "/tmp/tether-session-"))
      << keep.err();
}

// Observation: no way to shoot on the camera while every frame lands in
// the session's folder.
TEST(TetherHostUserTest, TetherSavesEveryPictureFromTheCameraOrEnterAcrossReconnects) {
  ScratchDir dir;
  const std::string out = dir.path() + "/session";
  const std::string hookLog = dir.path() + "/hooks.txt";
  const std::string hook = dir.path() + "/hook.sh";
  WriteFile(hook, "#!/bin/sh\necho \"$TETHER_ACTION $TETHER_CAPTURE_ID $TETHER_FILE_KIND $1\" >> " + hookLog + "\n");
  chmod(hook.c_str(), 0755);
  HostRun tether(dir.path(), RealTask({"tether", "--out", out, "--hook", hook}));
  ASSERT_TRUE(tether.waitFor("camera connected"));
  EXPECT_EQ(SimControl(dir.path(), "capture"), "ok capture 1\n");
  ASSERT_TRUE(tether.waitFor("picture 1:"));
  tether.type("\n");  // Enter
  ASSERT_TRUE(tether.waitFor("picture 2:"));
  SimControl(dir.path(), "disconnect");
  ASSERT_TRUE(tether.waitFor("camera disconnected"));
  SimControl(dir.path(), "connect 8241");
  ASSERT_TRUE(tether.waitFor("camera connected"));
  EXPECT_EQ(SimControl(dir.path(), "capture"), "ok capture 3\n");
  ASSERT_TRUE(tether.waitFor("picture 3:"));
  tether.signal(SIGINT);
  EXPECT_EQ(tether.finish(), 0) << tether.err();
  EXPECT_TRUE(Contains(tether.out(), "Saved 9 files in " + out)) << tether.out();
  EXPECT_EQ(Listing(out).size(), 9u);
  const std::string hooks = ReadFile(hookLog);
  for (const char* line : {"file_saved 1 thumbnail ", "file_saved 2 dng ", "file_saved 3 jpeg "}) {
    EXPECT_TRUE(Contains(hooks, line)) << line << "\n" << hooks;
  }
  EXPECT_TRUE(Contains(hooks, "file_saved 3 jpeg " + out + "/IMG_0003.jpg\n")) << hooks;
  EXPECT_TRUE(fs::is_empty(dir.path() + "/tmp"));

  HostRun counted(dir.path(), RealTask({"tether", "-n", "1", "--out", dir.path() + "/one"}));
  ASSERT_TRUE(counted.waitFor("camera connected"));
  SimControl(dir.path(), "capture");
  EXPECT_EQ(counted.finish(), 0) << counted.err();
  EXPECT_EQ(Listing(dir.path() + "/one").size(), 3u);
}

}  // namespace
