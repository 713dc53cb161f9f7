// Runs the tether-host executable against the fake task, as a user would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/host/host_test_support.h"

extern char** environ;

namespace {

using tether_host_test::ReadFile;
using tether_host_test::ScratchDir;
using tether_host_test::WriteFile;

constexpr int kGuardMs = 30000;

// tether-host running with stdout on a pipe and stderr in a file.
class Tool {
 public:
  // `extraEnv` ("NAME=value") replaces what the test would set otherwise.
  Tool(const std::vector<std::string>& args, const std::string& mode, const std::string& dir,
       const std::vector<std::string>& extraEnv = {})
      : mErrPath(dir + "/tool-stderr-" + std::to_string(sSerial++) + ".txt") {
    std::vector<std::string> argStrings{TETHER_HOST_PATH};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string(*e).rfind("FAKE_TASK_MODE=", 0) != 0 && std::string(*e).rfind("TMPDIR=", 0) != 0) {
        envStrings.push_back(*e);
      }
    }
    envStrings.push_back("FAKE_TASK_MODE=" + mode);
    envStrings.push_back("TMPDIR=" + dir);
    envStrings.push_back("XDG_STATE_HOME=" + dir + "/state");  // the default task log
    for (const std::string& e : extraEnv) {
      const std::string name = e.substr(0, e.find('=') + 1);
      envStrings.erase(std::remove_if(envStrings.begin(), envStrings.end(),
                                      [&name](const std::string& s) { return s.rfind(name, 0) == 0; }),
                       envStrings.end());
      envStrings.push_back(e);
    }
    std::vector<char*> argv, envp;
    for (auto& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, mErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (posix_spawn(&mPid, TETHER_HOST_PATH, &actions, nullptr, argv.data(), envp.data()) != 0) {
      mPid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    mOut = out[0];
  }
  ~Tool() {
    if (mPid > 0 && !mDone) {
      kill(mPid, SIGKILL);
      waitpid(mPid, nullptr, 0);
    }
    if (mOut >= 0) close(mOut);
  }

  // The next line of stdout, or "" at its end (or after the guard).
  std::string line() {
    for (;;) {
      const size_t nl = mBuffered.find('\n');
      if (nl != std::string::npos) {
        std::string l = mBuffered.substr(0, nl);
        mBuffered.erase(0, nl + 1);
        return l;
      }
      if (mOut < 0) return std::exchange(mBuffered, "");
      struct pollfd p = {mOut, POLLIN, 0};
      char buf[4096];
      const ssize_t n = poll(&p, 1, kGuardMs) == 1 ? read(mOut, buf, sizeof buf) : 0;
      if (n <= 0) return std::exchange(mBuffered, "");
      mBuffered.append(buf, static_cast<size_t>(n));
    }
  }
  // Waits for the exit; returns the exit code (-signal when killed).
  int finish() {
    while (!line().empty() || !mBuffered.empty()) {
    }
    int status = 0;
    waitpid(mPid, &status, 0);
    mDone = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  std::string rest() {
    std::string all;
    for (std::string l = line(); !l.empty(); l = line()) all += l + "\n";
    return all;
  }
  std::string err() const { return ReadFile(mErrPath); }
  void closeOutput() {
    close(mOut);
    mOut = -1;
  }
  pid_t pid() const { return mPid; }

 private:
  static inline int sSerial = 0;
  pid_t mPid = -1;
  int mOut = -1;
  bool mDone = false;
  std::string mBuffered;
  std::string mErrPath;
};

struct ToolRun {
  int code;
  std::string out;
  std::string err;
};

ToolRun RunTool(const std::vector<std::string>& args, const std::string& mode, const std::string& dir,
                const std::vector<std::string>& extraEnv = {}) {
  Tool tool(args, mode, dir, extraEnv);
  std::string out = tool.rest();
  const int code = tool.finish();
  return {code, out, tool.err()};
}

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

TEST(TetherHostCliTest, HelpAndUsageErrors) {
  ScratchDir dir;
  const ToolRun help = RunTool({"--help"}, "", dir.path());
  EXPECT_EQ(help.code, 0);
  EXPECT_TRUE(Contains(help.out, "usage: tether-host")) << help.out;
  const ToolRun bad = RunTool({"--task", FAKE_TASK_PATH, "dance"}, "", dir.path());
  EXPECT_EQ(bad.code, 1);
  EXPECT_TRUE(Contains(bad.err, "unknown command 'dance'")) << bad.err;
  const ToolRun badCount = RunTool({"--task", FAKE_TASK_PATH, "capture", "-n", "zero"}, "", dir.path());
  EXPECT_EQ(badCount.code, 1);
}

TEST(TetherHostCliTest, AMissingTaskIsNamed) {
  ScratchDir dir;
  const std::string path = dir.path() + "/nowhere/tether-task";
  const ToolRun run = RunTool({"--task", path, "settings"}, "", dir.path());
  EXPECT_EQ(run.code, 2);
  EXPECT_TRUE(Contains(run.err, "task not found: " + path)) << run.err;
}

TEST(TetherHostCliTest, SettingsPrintsTheReply) {
  ScratchDir dir;
  const ToolRun run = RunTool({"--task", FAKE_TASK_PATH, "settings"}, "", dir.path());
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out,
            "Settings in force (Orvak K1):\n"
            "  ISO            400\n"
            "  Aperture       f/5.6\n"
            "  Shutter        1/125\n"
            "  White balance  Daylight\n");
}

TEST(TetherHostCliTest, SettingsWithoutACamera) {
  ScratchDir dir;
  const ToolRun run = RunTool({"--task", FAKE_TASK_PATH, "settings", "--timeout", "0.1"}, "nocamera",
                          dir.path());
  EXPECT_EQ(run.code, 4);
  EXPECT_TRUE(Contains(run.err, "no camera is connected")) << run.err;
  EXPECT_EQ(run.out, "");
}

TEST(TetherHostCliTest, CaptureMovesTheFilesAndPrintsTheTable) {
  ScratchDir dir;
  const std::string out = dir.sub("captures");
  WriteFile(out + "/IMG_0002.dng", "an earlier picture");
  const ToolRun run = RunTool({"--task", FAKE_TASK_PATH, "--task-log", dir.path() + "/task.log",
                           "capture", "-n", "2", "--out", out},
                          "", dir.path());
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(ReadFile(out + "/IMG_0002.dng"), "an earlier picture");
  for (const char* name : {"IMG_0001.dng", "IMG_0001.jpg", "IMG_0001.thumb.jpg", "IMG_0002-1.dng",
                           "IMG_0002-1.jpg", "IMG_0002-1.thumb.jpg"}) {
    EXPECT_TRUE(std::filesystem::exists(out + "/" + name)) << name;
    EXPECT_TRUE(Contains(run.out, out + "/" + name)) << name << "\n" << run.out;
  }
  EXPECT_TRUE(Contains(run.out, "Saved 6 files in " + out)) << run.out;
  EXPECT_TRUE(Contains(run.out, "  1        DNG                1001  ok        " + out + "/IMG_0001.dng\n"))
      << run.out;
  EXPECT_TRUE(Contains(run.out, "  2        thumbnail            64  -         " + out +
                                    "/IMG_0002-1.thumb.jpg\n"))
      << run.out;
  EXPECT_TRUE(Contains(run.out, "  White balance  Daylight\n")) << run.out;
  EXPECT_EQ(ReadFile(dir.path() + "/task.log"), "fake task started\n");
}

TEST(TetherHostCliTest, CaptureReportsATaskThatDied) {
  ScratchDir dir;
  const ToolRun run = RunTool({"--task", FAKE_TASK_PATH, "capture", "--out", dir.sub("o")},
                          "crash-on-capture", dir.path());
  EXPECT_EQ(run.code, 3);
  EXPECT_TRUE(Contains(run.err, "task exited unexpectedly (exited with status 7)")) << run.err;
}

TEST(TetherHostCliTest, CaptureWithoutACamera) {
  ScratchDir dir;
  const ToolRun run = RunTool({"--task", FAKE_TASK_PATH, "capture", "--timeout", "0.1", "--out",
                           dir.sub("o")},
                          "nocamera", dir.path());
  EXPECT_EQ(run.code, 4);
  EXPECT_TRUE(Contains(run.err, "no camera connected within 0.1 s")) << run.err;
}

// The exit status of capture on each way it can end; a picture that is still
// arriving when the task is shut down is saved and counts.
TEST(TetherHostCliTest, CaptureExitStatusForEachEnding) {
  struct Case {
    const char* mode;
    int code;
    const char* said;
    const char* timeout = "30";
  };
  const Case cases[] = {
      {"late", 0, "Saved 6 files in "},
      {"refusejpeg", 6, "the task did not save the JPEG: No space left on device"},
      {"badsize", 6, "MISMATCH"},
      {"thumbonly", 6, "capture 1: no image file arrived within 2 s", "2"},
      {"garbage", 5, "bad frame from the task: frame length -5"},
      {"crash-on-capture", 3, "task exited unexpectedly (exited with status 7)"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    const ToolRun run =
        RunTool({"--task", FAKE_TASK_PATH, "capture", "--timeout", c.timeout, "--out", dir.sub("o")},
                c.mode, dir.path());
    EXPECT_EQ(run.code, c.code) << c.mode << "\n" << run.err;
    EXPECT_TRUE(Contains(run.out + run.err, c.said)) << c.mode << "\n" << run.out << run.err;
  }
  ScratchDir dir;
  const ToolRun badLog = RunTool({"--task", FAKE_TASK_PATH, "--task-log", dir.sub("a-folder"), "settings"},
                                 "", dir.path());
  EXPECT_EQ(badLog.code, 1) << badLog.err;
}

TEST(TetherHostCliTest, WatchPrintsJsonUntilCtrlCThenShutsTheTaskDown) {
  ScratchDir dir;
  Tool tool({"--task", FAKE_TASK_PATH, "watch", "--save-data", dir.path() + "/data"}, "datademo",
            dir.path());
  const std::string demo = tool.line();
  EXPECT_EQ(demo,
            "{\"id\":0,\"name\":\"demo\",\"payload\":{\"blob\":{\"size\":3,\"sha256\":"
            "\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\",\"path\":\"" +
                dir.path() + "/data/1-demo-blob.bin\"},\"ratio\":0.25,"
                "\"text\":\"tab\\there \\\"q\\\" \xC3\xA9 \\u00ff\"}}");
  EXPECT_EQ(ReadFile(dir.path() + "/data/1-demo-blob.bin"), "abc");
  EXPECT_EQ(tool.line(),
            "{\"id\":0,\"name\":\"deviceAdded\",\"payload\":{\"device_id\":8201,\"name\":\"Orvak K1\"}}");
  // Every line so far was printed after the handler was in place.
  kill(tool.pid(), SIGINT);
  EXPECT_EQ(tool.finish(), 0) << tool.err();
  EXPECT_TRUE(Contains(tool.err(), "task exited with status 0")) << tool.err();
}

TEST(TetherHostCliTest, WatchShutsTheTaskDownWhenItsReaderGoes) {
  ScratchDir dir;
  Tool tool({"--task", FAKE_TASK_PATH, "watch"}, "ticker", dir.path());
  EXPECT_TRUE(Contains(tool.line(), "\"deviceAdded\""));
  tool.closeOutput();  // like `tether-host watch | head -1`
  EXPECT_EQ(tool.finish(), 0) << tool.err();
  EXPECT_TRUE(Contains(tool.err(), "standard output is closed")) << tool.err();
}

TEST(TetherHostCliTest, WatchStopsAtABadFrame) {
  ScratchDir dir;
  const ToolRun run = RunTool({"--task", FAKE_TASK_PATH, "watch"}, "garbage", dir.path());
  EXPECT_EQ(run.code, 5);
  EXPECT_TRUE(Contains(run.out, "\"deviceAdded\"")) << run.out;
  EXPECT_TRUE(Contains(run.err, "bad frame from the task: frame length -5")) << run.err;
}

// Polls until `ready` (a hang guard only: the bound is never the result).
bool WaitUntil(const std::function<bool()>& ready) {
  for (int i = 0; i < kGuardMs / 10; ++i) {
    if (ready()) return true;
    usleep(10000);
  }
  return ready();
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// Every option error names what is wrong and where to read more; nothing
// is created and no task starts.
TEST(TetherHostCliTest, OptionErrorsSayWhatIsWrong) {
  struct Row {
    std::vector<std::string> args;
    std::vector<std::string> said;
  };
  ScratchDir dir;
  const std::string fresh = dir.path() + "/fresh";
  const std::vector<Row> rows = {
      {{"tether", "--ot", "x"},
       {"unknown option '--ot' for 'tether'; did you mean '--out'?", "Run 'tether-host tether --help'"}},
      {{"tether", "--out", fresh, "--filenme", "x"},
       {"unknown option '--filenme' for 'tether'; did you mean '--filename'?"}},
      {{"capture", "--wobble"}, {"unknown option '--wobble' for 'capture'\n"}},
      {{"capture", "-n", "two"}, {"-n takes a whole number", "Run 'tether-host capture --help'"}},
      {{"serve", "-n", "two"}, {"-n takes a whole number", "Run 'tether-host serve --help'"}},
      {{"tether", "--out", fresh, "--filename", "../%f"}, {"must stay inside the output folder"}},
      {{"tether", "--out", "/proc"}, {"cannot write into /proc"}},
      {{"capture", "--out", "/proc"}, {"cannot write into /proc"}},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = {"--task", FAKE_TASK_PATH};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const ToolRun run = RunTool(args, "camerapress", dir.path());
    EXPECT_EQ(run.code, 1) << row.args[1] << "\n" << run.err;
    for (const std::string& said : row.said) EXPECT_TRUE(Contains(run.err, said)) << run.err;
    EXPECT_FALSE(Contains(run.err, "fake task started")) << run.err;
    EXPECT_FALSE(Exists(fresh)) << row.args[1];
  }
}

TEST(TetherHostCliTest, FilenamePatternsTakenWithWarnings) {
  struct Row {
    std::string pattern;
    std::string warning;  // empty: none
    std::string saved;    // one of the files
  };
  const std::vector<Row> rows = {
      {"./%f", "", "IMG_0001.dng"},
      {"./sub/./%f.%C", "", "sub/IMG_0001.jpg"},
      {"%f.%C.%C", "puts the extension in more than once", "IMG_0001.dng.dng"},
      {".%f", "makes names starting with '.'", ".IMG_0001.dng"},
      {"%f:%n", "puts ':' in names", "IMG_0001:1.dng"},
  };
  for (const Row& row : rows) {
    ScratchDir dir;
    const ToolRun run = RunTool({"--task", FAKE_TASK_PATH, "capture", "--out", dir.path() + "/o",
                                 "--filename", row.pattern},
                                "", dir.path());
    EXPECT_EQ(run.code, 0) << row.pattern << "\n" << run.err;
    EXPECT_EQ(Contains(run.err, "warning: "), !row.warning.empty()) << run.err;
    if (!row.warning.empty()) {
      EXPECT_TRUE(Contains(run.err, row.warning)) << run.err;
    }
    EXPECT_TRUE(Exists(dir.path() + "/o/" + row.saved)) << row.pattern;
  }
}

// A stop while a picture is arriving waits for the picture, whichever
// signal asks (the terminal closing, Ctrl-\, kill, Ctrl-C).
TEST(TetherHostCliTest, EveryStopSignalFinishesThePictureArriving) {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    ScratchDir dir;
    const std::string out = dir.path() + "/o";
    Tool tool({"--task", FAKE_TASK_PATH, "tether", "--out", out}, "camerapress,holdfiles", dir.path());
    ASSERT_TRUE(WaitUntil([&] { return Exists(out + "/IMG_0001.thumb.jpg"); })) << sig;
    kill(tool.pid(), sig);
    EXPECT_EQ(tool.finish(), 0) << sig << "\n" << tool.err();
    EXPECT_TRUE(Contains(tool.err(), "finishing picture 1... (Ctrl-C again to stop now)")) << tool.err();
    for (const char* name : {"IMG_0001.dng", "IMG_0001.jpg"}) EXPECT_TRUE(Exists(out + "/" + name)) << sig;
  }
}

TEST(TetherHostCliTest, CtrlCDuringACaptureFinishesThePictureArriving) {
  ScratchDir dir;
  const std::string out = dir.path() + "/o";
  Tool tool({"--task", FAKE_TASK_PATH, "capture", "--out", out}, "holdfiles", dir.path());
  ASSERT_TRUE(WaitUntil([&] { return Exists(out + "/IMG_0001.thumb.jpg"); }));
  kill(tool.pid(), SIGINT);
  EXPECT_EQ(tool.finish(), 130) << tool.err();
  EXPECT_TRUE(Contains(tool.err(), "finishing picture 1... (Ctrl-C again to stop now)")) << tool.err();
  for (const char* name : {"IMG_0001.dng", "IMG_0001.jpg"}) EXPECT_TRUE(Exists(out + "/" + name));
}

// A second Ctrl-C stops at once and says where the undelivered files are;
// a later run tells of them and `recover` moves them in.
TEST(TetherHostCliTest, SecondCtrlCLeavesFilesThatALaterRunRecovers) {
  ScratchDir dir;
  const std::string out = dir.path() + "/o";
  {
    Tool tool({"--task", FAKE_TASK_PATH, "tether", "--out", out}, "camerapress,holdfiles,stubborn",
              dir.path());
    ASSERT_TRUE(WaitUntil([&] { return Exists(out + "/IMG_0001.thumb.jpg"); }));
    kill(tool.pid(), SIGINT);
    ASSERT_TRUE(WaitUntil([&] { return Contains(tool.err(), "finishing picture 1"); })) << tool.err();
    kill(tool.pid(), SIGINT);
    EXPECT_EQ(tool.finish(), 6) << tool.err();  // picture 1 is incomplete
    EXPECT_TRUE(Contains(tool.err(), "stopping now; what the camera had not delivered stays in " +
                                         dir.path() + "/tether-session-"))
        << tool.err();
    EXPECT_TRUE(Contains(tool.err(), "/TetherTMP1.DNG")) << tool.err();
  }
  const ToolRun later = RunTool({"--task", FAKE_TASK_PATH, "settings"}, "", dir.path());
  EXPECT_EQ(later.code, 0);
  EXPECT_TRUE(Contains(later.err, "1 file left by an earlier session that did not end: " + dir.path() +
                                      "/tether-session-"))
      << later.err;
  const ToolRun recover = RunTool({"recover", "--out", dir.path() + "/r"}, "", dir.path());
  EXPECT_EQ(recover.code, 0) << recover.err;
  EXPECT_EQ(recover.out, "recovered " + dir.path() + "/r/capture1.dng\n");
  EXPECT_EQ(ReadFile(dir.path() + "/r/capture1.dng").size(), 1001u);
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_NE(entry.path().filename().string().rfind("tether-session-", 0), 0u) << entry.path();
  }
  const ToolRun again = RunTool({"recover", "--out", dir.path() + "/r"}, "", dir.path());
  EXPECT_EQ(again.code, 0);
  EXPECT_TRUE(Contains(again.err, "nothing to recover")) << again.err;
}

// A killed run's pictures are found; a live session's folder is not taken.
TEST(TetherHostCliTest, RecoverTakesOnlyFoldersOfEndedSessions) {
  ScratchDir dir;
  const std::string out = dir.path() + "/o";
  {
    Tool live({"--task", FAKE_TASK_PATH, "tether", "--out", out}, "camerapress,holdfiles", dir.path());
    ASSERT_TRUE(WaitUntil([&] { return Exists(out + "/IMG_0001.thumb.jpg"); }));
    const ToolRun whileLive = RunTool({"recover", "--out", dir.path() + "/r"}, "", dir.path());
    EXPECT_TRUE(Contains(whileLive.err, "nothing to recover")) << whileLive.err;
    kill(live.pid(), SIGKILL);  // its task ends at the end of its input; the DNG stays
    live.finish();
  }
  const ToolRun recover = RunTool({"recover", "--out", dir.path() + "/r"}, "", dir.path());
  EXPECT_EQ(recover.code, 0) << recover.err;
  EXPECT_TRUE(Exists(dir.path() + "/r/capture1.dng")) << recover.out << recover.err;
}

// Names from the camera and the task's log never reach the terminal with
// control characters in them.
TEST(TetherHostCliTest, CameraTextReachesTheTerminalWithoutControls) {
  ScratchDir dir;
  const ToolRun run = RunTool({"--task", FAKE_TASK_PATH, "-v", "tether", "--out", dir.path() + "/o", "-n",
                               "1"},
                              "camerapress,hostilename", dir.path());
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, "picture 1: ")) << run.out;
  EXPECT_TRUE(Contains(run.err, "camera says ?]0;owned??2J")) << run.err;
  EXPECT_TRUE(Contains(run.out + run.err, "camera connected: Evil?[2J?Cam?1m")) << run.out << run.err;
  for (const std::string& text : {run.out, run.err}) {
    EXPECT_EQ(text.find_first_of(std::string("\x1b\x07\x9b", 3)), std::string::npos) << text;
  }
}

TEST(TetherHostCliTest, ADefaultTaskLogThatCannotBeMadeFallsBack) {
  ScratchDir dir;
  WriteFile(dir.path() + "/afile", "");
  const std::vector<std::string> badState = {"XDG_STATE_HOME=" + dir.path() + "/afile"};
  const ToolRun run = RunTool({"--task", FAKE_TASK_PATH, "settings"}, "", dir.path(), badState);
  EXPECT_EQ(run.code, 0) << run.err;
  const std::string said = "; the task's log goes to " + dir.path() + "/tether-host-task-";
  ASSERT_TRUE(Contains(run.err, said)) << run.err;
  const size_t at = run.err.find(said) + std::string("; the task's log goes to ").size();
  EXPECT_EQ(ReadFile(run.err.substr(at, run.err.find('\n', at) - at)), "fake task started\n");
  // Given on purpose, the log must be there.
  const ToolRun explicitLog = RunTool(
      {"--task", FAKE_TASK_PATH, "--task-log", dir.path() + "/afile/task.log", "settings"}, "", dir.path());
  EXPECT_EQ(explicitLog.code, 1);
  EXPECT_TRUE(Contains(explicitLog.err, "cannot open the task log")) << explicitLog.err;
}

TEST(TetherHostCliTest, SlowHooksAreSaidToBeFinishing) {
  ScratchDir dir;
  const std::string go = dir.path() + "/go";
  Tool tool({"--task", FAKE_TASK_PATH, "tether", "--out", dir.path() + "/o", "-n", "1", "--hook",
             "while [ ! -e '" + go + "' ]; do sleep 0.01; done; true"},
            "camerapress", dir.path());
  const bool said = WaitUntil([&] { return Contains(tool.err(), "hooks are finishing: "); });
  WriteFile(go, "");
  EXPECT_TRUE(said) << tool.err();
  EXPECT_EQ(tool.finish(), 0) << tool.err();
}

// serve takes the session options of tether.
TEST(TetherHostCliTest, ServeTakesTheSessionOptions) {
  ScratchDir dir;
  const ToolRun run = RunTool({"--task", FAKE_TASK_PATH, "serve", "--out", dir.path() + "/o", "-n", "1",
                               "--hook", "echo hooked >> '" + dir.path() + "/hooks'"},
                              "camerapress", dir.path());
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out.rfind("http://127.0.0.1:", 0), 0u) << run.out;
  const std::string hooks = ReadFile(dir.path() + "/hooks");
  EXPECT_EQ(std::count(hooks.begin(), hooks.end(), '\n'), 3) << hooks;
}

}  // namespace
