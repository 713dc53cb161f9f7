#include "tests/e2e/task_fixture.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace tether_e2e {

using tether_host::HostMessage;
using tether_host::TaskProcess;

namespace {

std::string NameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// `base` with every entry of `overrides` replacing the one of the same name,
// or appended. The task's getenv finds the first of duplicate names, so a
// plain concatenation would silently keep the default.
std::vector<std::string> WithOverrides(std::vector<std::string> base,
                                       const std::vector<std::string>& overrides) {
  for (const std::string& entry : overrides) {
    auto same = std::find_if(base.begin(), base.end(), [&](const std::string& b) {
      return NameOf(b) == NameOf(entry);
    });
    if (same != base.end()) {
      *same = entry;
    } else {
      base.push_back(entry);
    }
  }
  return base;
}

std::string LinkTarget(const std::string& path) {
  char buffer[256];
  const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

}  // namespace

void TaskTest::SetUp() {
  char pattern[] = "/tmp/tether-faults-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  mDir = pattern;
  ASSERT_EQ(mkdir(imageDir().c_str(), 0755), 0);
}

void TaskTest::TearDown() {
  mControl.reset();
  mTask.reset();  // ends and reaps the task if a test left it running
  for (auto it = mMounts.rbegin(); it != mMounts.rend(); ++it) {
    if (umount2(it->c_str(), MNT_DETACH) != 0) {
      ADD_FAILURE() << "umount " << *it << ": " << strerror(errno);
    }
  }
  mMounts.clear();
  std::error_code ignored;
  std::filesystem::remove_all(mDir, ignored);
}

void TaskTest::startTask(const std::vector<std::string>& environment) {
  mControl.reset();
  mTask.reset();
  mSeen.clear();
  unlink((mDir + "/counts").c_str());
  TaskProcess::Options options;
  options.path = TETHER_TASK_PATH;
  options.environment = WithOverrides(
      {
          "TMPDIR=" + imageDir(),
          "KRV_SIM_CONTROL=" + controlPath(),
          "KRV_SIM_COUNTS_FILE=" + mDir + "/counts",
          "KRV_SIM_LOG=1",
          "KRV_SIM_IMAGE_WIDTH=64",
          "KRV_SIM_IMAGE_HEIGHT=48",
      },
      environment);
  options.stderrPath = mDir + "/task.log";
  options.privateTempDir = false;  // the task's own handling of TMPDIR is under test
  std::string error;
  mTask = TaskProcess::start(options, &error);
  ASSERT_NE(mTask, nullptr) << error;
}

HostMessage TaskTest::expect(const std::string& name, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    HostMessage message;
    auto status = mTask->read(&message, static_cast<int>(std::max<int64_t>(0, left.count())));
    if (status != TaskProcess::ReadStatus::kMessage) {
      ADD_FAILURE() << "no \"" << name << "\" message (read status "
                    << static_cast<int>(status) << ", " << mTask->error() << ")\nlog tail:\n"
                    << taskLog().substr(taskLog().size() > 4000 ? taskLog().size() - 4000 : 0);
      return HostMessage();
    }
    if (message.name == name) return message;
    mSeen.push_back(std::move(message));
  }
}

std::vector<HostMessage> TaskTest::drain() {
  std::vector<HostMessage> out;
  for (;;) {
    HostMessage message;
    if (mTask->read(&message, 0) != TaskProcess::ReadStatus::kMessage) return out;
    out.push_back(std::move(message));
  }
}

bool TaskTest::waitForLog(const std::string& text, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (taskLog().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string TaskTest::taskLog() const { return FileBytes(mDir + "/task.log"); }

size_t TaskTest::logCount(const std::string& text) const {
  const std::string log = taskLog();
  size_t count = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
  return count;
}

std::string TaskTest::countsAtExit() const { return FileBytes(mDir + "/counts"); }

krv_sim::ControlClient& TaskTest::control() {
  if (!mControl) {
    mControl = std::make_unique<krv_sim::ControlClient>();
    std::string error;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!mControl->connect(controlPath(), &error)) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "control socket: " << error;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return *mControl;
}

std::string TaskTest::mustControl(const std::string& command) {
  std::string reply = control().command(command);
  EXPECT_TRUE(krv_sim::ControlClient::isOk(reply)) << command << " -> " << reply;
  return reply;
}

bool TaskTest::mountTmpfs(const std::string& path, const std::string& options, bool readOnly,
                           std::string* error) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "mkdir " + path + ": " + strerror(errno);
    return false;
  }
  const unsigned long flags = MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0);
  if (mount("tmpfs", path.c_str(), "tmpfs", flags, options.c_str()) != 0) {
    *error = "mount -t tmpfs -o " + options + (readOnly ? ",ro " : " ") + path + ": " +
             strerror(errno);
    return false;
  }
  mMounts.push_back(path);
  return true;
}

bool TaskTest::remountTmpfs(const std::string& path, const std::string& options,
                             std::string* error) {
  if (mount("tmpfs", path.c_str(), "tmpfs", MS_REMOUNT | MS_NOSUID | MS_NODEV,
            options.c_str()) != 0) {
    *error = "remount " + path + " " + options + ": " + strerror(errno);
    return false;
  }
  return true;
}

int TaskTest::hostEndOfTaskPipe(int taskFd) const {
  // The task keeps its pipes on descriptors of its own, not on 0 and 1: the
  // pipe is one that both processes hold, and our end of the task's stdin
  // is the one we write (of its stdout, the one we read).
  const std::string taskFds = "/proc/" + std::to_string(mTask->pid()) + "/fd";
  const std::string taskLog = LinkTarget(taskFds + "/2");
  std::set<std::string> shared;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(taskFds, error)) {
    const std::string link = LinkTarget(entry.path().string());
    if (link.rfind("pipe:", 0) == 0 && link != taskLog) shared.insert(link);
  }
  const int wanted = taskFd == 0 ? O_WRONLY : O_RDONLY;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    const std::string name = entry.path().filename().string();
    if (shared.count(LinkTarget(entry.path().string())) == 0) continue;
    std::ifstream info("/proc/self/fdinfo/" + name);
    for (std::string line; std::getline(info, line);) {
      if (line.rfind("flags:", 0) == 0 &&
          (std::stoi(line.substr(6), nullptr, 8) & O_ACCMODE) == wanted) {
        return std::stoi(name);
      }
    }
  }
  return -1;
}

bool TaskTest::closeHostEndOfTaskOutput() {
  const int ours = hostEndOfTaskPipe(1);
  if (ours < 0) return false;
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null < 0) return false;
  // dup2 closes the pipe's last read end and reuses the number in one step.
  const bool ok = dup2(null, ours) == ours;
  close(null);
  fcntl(ours, F_SETFD, FD_CLOEXEC);
  return ok;
}

// ---- Helpers ----

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* entry = readdir(d)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

long ProcStatusKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) {
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
  }
  return -1;
}

int OpenFdCount(pid_t pid) {
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (d == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(d)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(d);
  return count;
}

void ExpectCleanExit(TaskProcess& task) {
  ASSERT_TRUE(task.waitForExit(kEventTimeoutMs)) << "the task did not end";
  EXPECT_TRUE(task.exitStatus().success()) << task.exitStatus().describe();
}

}  // namespace tether_e2e
