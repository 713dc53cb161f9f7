// Runs the built tether-task over real pipes with the simulated camera SDK, a
// scratch temp directory, the simulator's control socket and the task's log
// in a file. For fault tests it also offers full control of the task's
// environment (a later "NAME=value" replaces an earlier one, so TMPDIR can
// point anywhere), tmpfs mounts that are undone after the test, the host's
// end of the task's output, and the task's memory and descriptors as /proc
// shows them.
#ifndef TETHER_TESTS_E2E_TASK_FIXTURE_H_
#define TETHER_TESTS_E2E_TASK_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "camera/simulator/control_client.h"
#include "host/client/TaskProcess.h"

namespace tether_e2e {

// Generous guard against a hung task; no assertion depends on it being tight.
constexpr int kEventTimeoutMs = 30000;

class TaskTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Ends the task, undoes the mounts (newest first), removes the scratch dir.
  void TearDown() override;

  // Starts the task (ending one started before). Defaults: TMPDIR is
  // imageDir() (created), a control socket, the counts file, simulator log
  // lines, 64x48 images. Entries of `environment` replace defaults of the
  // same name.
  void startTask(const std::vector<std::string>& environment = {});

  // Reads messages until one named `name` arrives (others are appended to
  // seen()). Fails the test on timeout, end of output or a bad frame.
  tether_host::HostMessage expect(const std::string& name, int timeoutMs = kEventTimeoutMs);
  // Whatever complete messages are already on the pipe, without waiting.
  std::vector<tether_host::HostMessage> drain();
  bool waitForLog(const std::string& text, int timeoutMs = kEventTimeoutMs);
  std::string taskLog() const;
  // How often `text` occurs in the task's log.
  size_t logCount(const std::string& text) const;
  // The simulator's SDK call counts, written when the SDK exits.
  std::string countsAtExit() const;

  // The simulator's control socket (connected on first use).
  krv_sim::ControlClient& control();
  std::string mustControl(const std::string& command);
  std::string controlPath() const { return mDir + "/control.sock"; }

  // Mounts a tmpfs at `path` (created if missing) with `options` (e.g.
  // "size=1m"), read-only when asked. False with *error when mounting is
  // not permitted here; the caller skips. Unmounted in TearDown.
  bool mountTmpfs(const std::string& path, const std::string& options, bool readOnly,
                  std::string* error);
  // Changes the options of a mount made by MountTmpfs (e.g. "size=16m").
  bool remountTmpfs(const std::string& path, const std::string& options, std::string* error);

  // Our descriptor on the other end of the pipe the task was given as
  // `taskFd` (0: its stdin, 1: its stdout), found by the pipe's inode among
  // the task's descriptors; -1 if there is none.
  int hostEndOfTaskPipe(int taskFd) const;
  // Closes the host's read end of the task's output, so that every later
  // write of the task fails with EPIPE. The descriptor number stays valid
  // (it now reads /dev/null), so the TaskProcess still owns what it thinks.
  bool closeHostEndOfTaskOutput();

  const std::vector<tether_host::HostMessage>& seen() const { return mSeen; }
  // Hands out the messages kept so far, leaving none.
  std::vector<tether_host::HostMessage> takeSeen() {
    std::vector<tether_host::HostMessage> out;
    out.swap(mSeen);
    return out;
  }
  tether_host::TaskProcess& task() { return *mTask; }
  const std::string& dir() const { return mDir; }
  // The default TMPDIR of the task.
  std::string imageDir() const { return mDir + "/images"; }

 private:
  std::string mDir;
  std::unique_ptr<tether_host::TaskProcess> mTask;
  std::unique_ptr<krv_sim::ControlClient> mControl;
  std::vector<tether_host::HostMessage> mSeen;
  std::vector<std::string> mMounts;  // mount points, oldest first
};

// ---- Helpers on files and processes ----

std::string FileBytes(const std::string& path);
// Names in `dir` (hidden ones included, "." and ".." not), sorted; empty when
// the directory cannot be read.
std::vector<std::string> ListDir(const std::string& dir);
// A field of /proc/<pid>/status in KiB (VmRSS, VmHWM, ...); -1 if absent.
long ProcStatusKb(pid_t pid, const std::string& field);
// Open descriptors of the process; -1 if they cannot be listed.
int OpenFdCount(pid_t pid);

// Waits for the task to end and requires a normal exit with status 0 (a
// death by SIGPIPE or any other signal fails).
void ExpectCleanExit(tether_host::TaskProcess& task);

}  // namespace tether_e2e

#endif  // TETHER_TESTS_E2E_TASK_FIXTURE_H_
